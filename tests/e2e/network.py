"""The device's network configuration as the network apply finds it, for the network suites: its
configuration files, the programs it runs (stand-ins that say how they were called), and an
environment holding a request. run_apply() runs one case and returns everything it changed."""
import dataclasses
import os
import pathlib
import shutil

import device
from device import envimage

PORT_CONFIG = '/etc/stacfg/porteth0.config'
NETWORK_CONFIG = '/etc/sysconfig/network'
INTERFACE_CONFIG = '/etc/sysconfig/netscripts/ifcfg-eth0'
SWITCH_CONFIG = '/etc/switch/main.config'
CONFIGNW = '/usr/local/bin/confignw'
DHCPCD = '/etc/dhcpc/dhcpcd.exe'
DIRECTORIES = ['/etc/stacfg', '/etc/sysconfig', '/etc/switch', '/etc/dhcpc', '/etc/data']


def port_config(ip_addr='10.0.0.2', subnet='255.0.0.0', use_dhcp='n'):
    return f'#\nip_addr={ip_addr}\nsubnet={subnet}\nuse_dhcp={use_dhcp}\nspeed=9\n'


def network_config(gateway='10.0.0.1'):
    return f'NETWORKING=yes\nGATEWAY0={gateway}\nHOSTNAME=unit7\n'


def interface_config(ipaddr='10.0.0.2', netmask='255.0.0.0', broadcast='10.255.255.255',
                     network='10.0.0.0'):
    return (f'IPADDR={ipaddr}\nNETMASK={netmask}\nBROADCAST={broadcast}\nNETWORK={network}\n'
            'ONBOOT=yes\n')


def switch_config(ip_address='10.0.0.2', prefixlen=8, gateway='10.0.0.1', use_dhcp='0'):
    return (f'ip_address={ip_address}\nprefixlen={prefixlen}\ngateway={gateway}\n'
            f'use_dhcp={use_dhcp}\nmtu=1500\n')


def padded(text, size):
    """text grown to size bytes by a comment line of '#' at its end."""
    return text + '#' * (size - len(text) - 1) + '\n'


@dataclasses.dataclass(frozen=True)
class File:
    text: str
    mode: int = 0o644
    uid: int = 0
    gid: int = 0


@dataclasses.dataclass(frozen=True)
class Link:
    target: str


FAKE_PROGRAM = File(pathlib.Path(__file__).with_name('fake_program.sh').read_text(), mode=0o755)

# The device as each case starts, unless the case changes it.
DEVICE_FILES = {
    PORT_CONFIG: File(port_config()),
    NETWORK_CONFIG: File(network_config()),
    INTERFACE_CONFIG: File(interface_config()),
    SWITCH_CONFIG: File(switch_config()),
    CONFIGNW: FAKE_PROGRAM,
    DHCPCD: FAKE_PROGRAM,
}

# The environment on copy 1 (active): new settings and the request to apply them. Copy 2 holds
# an older environment, marked obsolete.
REQUEST = {'bootcmd': 'boot', 'use_net_settings': '1', 'gatewayip': '192.168.1.1',
           'netmask': '255.255.255.0', 'ipaddr': '192.168.1.20', 'use_dhcp': '0'}
OLDER_COPY = envimage.partition(['use_net_settings=0', 'ipaddr=10.9.9.8'],
                                flag=envimage.OBSOLETE)
SHOWN = 'gateway ip: 192.168.1.1\nnetmask: 255.255.255.0\nipaddr: 192.168.1.20\nuse_dhcp: 0\n'
UPDATED = 'Network settings updated...\n'
NOT_UPDATED = 'Network settings not updated...\n'
COMMIT = ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1']

# What flash looks like after a run.
UNTOUCHED = 'untouched'
CLEARED = 'request cleared'  # one commit: use_net_settings=0 at the end, active on copy 2


def entries(variables):
    return ['%s=%s' % (name, value) for name, value in variables.items() if value is not None]


def lay_out(files):
    """Replaces the device's files by these: File, Link, or None for none at that path."""
    for directory in DIRECTORIES:
        shutil.rmtree(directory, ignore_errors=True)
    for path, content in files.items():
        if content is None:
            if os.path.lexists(path):
                os.unlink(path)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(content, Link):
            os.symlink(content.target, path)
            continue
        with open(path, 'w', encoding='latin-1') as out:
            out.write(content.text)
        os.chown(path, content.uid, content.gid)
        os.chmod(path, content.mode)


def snapshot():
    """Every file and link of the device's directories and confignw, as File or Link."""
    paths = [os.path.join(top, name) for directory in DIRECTORIES
             for top, _, names in os.walk(directory) for name in names]
    paths += [CONFIGNW] if os.path.lexists(CONFIGNW) else []
    found = {}
    for path in paths:
        if os.path.islink(path):
            found[path] = Link(os.readlink(path))
        else:
            status = os.lstat(path)
            with open(path, encoding='latin-1') as source:
                found[path] = File(source.read(), status.st_mode & 0o7777, status.st_uid,
                                   status.st_gid)
    return found


def expected_files(files, changed):
    """The device's files after a run that wrote the changed texts (through links)."""
    before = {path: content for path, content in files.items() if content is not None}
    after = dict(before)
    for path, text in changed.items():
        target = os.path.realpath(path)
        after[target] = dataclasses.replace(before.get(target, File('')), text=text)
    return after


def flash_state(variables):
    """UNTOUCHED, CLEARED or, when neither, what the partitions hold."""
    copy1 = envimage.partition(entries(variables))
    mtd1, mtd2 = device.read_file(device.MTD1), device.read_file(device.MTD2)
    if (mtd1, mtd2) == (copy1, OLDER_COPY):
        return UNTOUCHED
    kept = entries({**variables, 'use_net_settings': None}) + ['use_net_settings=0']
    if (mtd1, mtd2) == (envimage.with_flag(copy1, envimage.OBSOLETE),
                        envimage.partition(kept)):
        return CLEARED
    return 'copy 1 %r, copy 2 %r' % (envimage.entries_of(mtd1 or b''),
                                     envimage.entries_of(mtd2 or b''))


@dataclasses.dataclass
class Case:
    """One run of the network apply on the default device, changed as the case says, and
    what it must leave behind. By default: normal mode, every file patched is listed in
    changed, and the request is cleared."""
    name: str
    args: list = dataclasses.field(default_factory=list)  # [], ['-t'] or ['-m']
    variables: dict = dataclasses.field(default_factory=dict)  # changes to REQUEST; None: absent
    files: dict = dataclasses.field(default_factory=dict)  # changes to DEVICE_FILES
    simulator: dict = dataclasses.field(default_factory=dict)  # FLASHSIM_* settings
    fakes: dict = dataclasses.field(default_factory=dict)  # FAKE_* settings of the programs
    setup: str = None  # shell commands run in the binary's own mount namespace first
    # what the run must do
    status: int = 0
    stdout: str = SHOWN + UPDATED
    stderr: str = ''
    changed: dict = dataclasses.field(default_factory=dict)  # new texts; the rest unchanged
    flash: str = CLEARED
    flash_requests: list = None  # default: COMMIT when the request is cleared, else none


def check(tally, case):
    variables = {**REQUEST, **case.variables}
    files = {**DEVICE_FILES, **case.files}
    got = run_apply(case.args, variables, files, case.simulator, case.fakes, case.setup)
    requests = case.flash_requests
    if requests is None:
        requests = COMMIT if case.flash == CLEARED else []
    return tally.check('%s: pelvanor %s' % (case.name, ' '.join(case.args)), got, {
        'status': case.status, 'stdout': case.stdout, 'stderr': case.stderr,
        'files': expected_files(files, case.changed), 'flash': case.flash,
        'flash requests': requests,
    })


def run_apply(args, variables, files, simulator=None, fakes=None, setup=None, stdout=None):
    """Lays the device out, runs the network apply and returns what it did: status, output,
    the device's files, the state of flash and the flash requests."""
    device.write_flash(envimage.partition(entries(variables)), OLDER_COPY)
    lay_out(files)
    fake_settings = {'FAKE_' + name: value for name, value in (fakes or {}).items()}
    if stdout is None:
        result = device.run(args, simulator, fake_settings, setup)
    else:
        result = device.run(args, simulator, fake_settings, setup, stdout=stdout)
    return {
        'status': result.status, 'stdout': result.stdout, 'stderr': result.stderr,
        'files': snapshot(), 'flash': flash_state(variables),
        'flash requests': result.flash_log,
    }
