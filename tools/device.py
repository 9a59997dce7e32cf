#!/usr/bin/env python3
"""The simulated device: the unchanged pelvanor binary run with the flash simulator
(tools/flashsim.cpp, preloaded) in place of the kernel's MTD driver, on flash partitions that are
plain files, and the device's network configuration files and programs.

The end-to-end suites (tests/e2e), the benchmark and the demo run inside tools/sandbox, where
/dev, /etc and /usr/local are private overlays, and use this module there. The build under test
is named by the environment:
    PELVANOR   the binary
    FLASHSIM   the simulator's preload path (may hold a literal $LIB for the loader)
    EMULATOR   a command prefix for cross builds ("qemu-ppc -L /usr/powerpc-linux-gnu")

The demo lays the device's files out for its sandbox with:
    device.py lay-out DIR    DIR/etc/... and DIR/usr/local/bin/confignw
"""
import dataclasses
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import time

import envimage

MTD1, MTD2 = '/dev/mtd1', '/dev/mtd2'
FLASH_LOG = '/dev/flashsim.log'  # the simulator's list of erase and write requests
RUN_TIMEOUT = 120  # seconds; a run that hangs (on a lock, say) fails instead of the suite

PORT_CONFIG = '/etc/stacfg/porteth0.config'
NETWORK_CONFIG = '/etc/sysconfig/network'
INTERFACE_CONFIG = '/etc/sysconfig/netscripts/ifcfg-eth0'
SWITCH_CONFIG = '/etc/switch/main.config'
CONFIGNW = '/usr/local/bin/confignw'
DHCPCD = '/etc/dhcpc/dhcpcd.exe'
DIRECTORIES = ['/etc/stacfg', '/etc/sysconfig', '/etc/switch', '/etc/dhcpc', '/etc/data']


# ---- flash --------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Fault:
    """One fault of the flash simulator: the number-th call of that kind on that device ('*':
    any) gets the effect: an error name such as 'EIO', 'short-N' or 'delay-MS'."""
    call: str  # open, read, write, regioncount, getinfo or erase
    effect: str
    device: str = '*'
    number: object = '*'

    def __str__(self):
        return f'{self.call}:{self.device}:{self.number}:{self.effect}'


def write_flash(mtd1, mtd2):
    """Writes both partitions; None removes that device node."""
    for path, content in ((MTD1, mtd1), (MTD2, mtd2)):
        if content is not None:
            pathlib.Path(path).write_bytes(content)
        elif os.path.lexists(path):
            os.unlink(path)


def read_file(path):
    """The bytes of a file, or None when there is none."""
    try:
        return pathlib.Path(path).read_bytes()
    except FileNotFoundError:
        return None


def flash_log():
    content = read_file(FLASH_LOG)
    return content.decode().splitlines() if content else []


def clear_flash_log():
    if os.path.exists(FLASH_LOG):
        os.unlink(FLASH_LOG)


def wait_for_flash_log(line):
    """Waits until the simulator has logged line (a held-back read, say)."""
    deadline = time.monotonic() + RUN_TIMEOUT
    while line not in flash_log():
        if time.monotonic() > deadline:
            raise TimeoutError('the flash log never showed %r' % line)
        time.sleep(0.01)


# ---- running pelvanor ---------------------------------------------------

def emulated():
    return bool(os.environ.get('EMULATOR'))


def environment(faults=(), flash=None, programs=None):
    """The binary's environment: this one without simulator and stand-in settings, then the
    simulator's preload and log, its faults and other settings (flash: {'ERASESIZE': 4096}),
    and the stand-in programs' settings (programs: {'CONFIGNW': 'exit 1'})."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(('FLASHSIM_', 'FAKE_'))}
    env['FLASHSIM_LOG'] = FLASH_LOG
    if faults:
        env['FLASHSIM_FAULTS'] = ' '.join(str(fault) for fault in faults)
    env.update({'FLASHSIM_' + name: str(value) for name, value in (flash or {}).items()})
    env.update({'FAKE_' + name: str(value) for name, value in (programs or {}).items()})
    if emulated():
        # the emulator itself is a native program: only the emulated binary loads the simulator
        env['QEMU_SET_ENV'] = 'LD_PRELOAD=' + os.environ['FLASHSIM']
    else:
        env['LD_PRELOAD'] = os.environ['FLASHSIM']
    return env


def command(args, setup=None):
    """The command line that runs pelvanor with args. With setup, a shell first runs those
    commands in a mount namespace of the run's own (mounts that break a file), then becomes
    the binary."""
    argv = os.environ.get('EMULATOR', '').split() + [os.environ['PELVANOR']] + list(args)
    if setup is None:
        return argv
    return ['unshare', '--mount', '--propagation', 'private', '--',
            '/bin/sh', '-ec', setup + '\nexec "$@"', 'sh'] + argv


def start(args, faults=(), flash=None, programs=None, setup=None, stdout=subprocess.PIPE,
          stderr=subprocess.PIPE):
    """Starts pelvanor in the background, with a fresh flash log."""
    clear_flash_log()
    return subprocess.Popen(command(args, setup), env=environment(faults, flash, programs),
                            stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)


@dataclasses.dataclass
class Result:
    """What one run left behind; compared as a whole with the Result a case expects."""
    status: int  # negative: ended by that signal
    stdout: str
    stderr: str
    mtd1: bytes
    mtd2: bytes
    flash_requests: list


def finish(process):
    """Waits for a process from start() and collects its Result."""
    out, err = process.communicate(timeout=RUN_TIMEOUT)
    return Result(status=process.returncode, stdout=(out or b'').decode('latin-1'),
                  stderr=(err or b'').decode('latin-1'), mtd1=read_file(MTD1),
                  mtd2=read_file(MTD2), flash_requests=flash_log())


def run(args, **settings):
    """Runs pelvanor once on the flash and files as they stand; settings as for start()."""
    return finish(start(args, **settings))


def run_on(args, mtd1, mtd2, **settings):
    """Writes both partitions, then runs pelvanor once."""
    write_flash(mtd1, mtd2)
    return run(args, **settings)


@dataclasses.dataclass
class Run:
    """The environment suites' one case shape: a run of pelvanor on two partitions and what it
    must leave. By default: status 0, no output, both partitions as they were, no flash request."""
    name: str
    args: list
    flash: tuple  # /dev/mtd1 and /dev/mtd2 before the run; None: no such device
    status: int = 0
    stdout: str = ''
    stderr: str = ''
    flash_after: tuple = None  # None: as before
    flash_requests: list = ()  # None: not compared
    faults: list = ()
    settings: dict = None  # the simulator's other settings, {'ERASESIZE': 4096}


def check_run(case):
    result = run_on(case.args, *case.flash, faults=case.faults, flash=case.settings)
    after = case.flash_after or case.flash
    requests = result.flash_requests if case.flash_requests is None else case.flash_requests
    assert result == Result(case.status, case.stdout, case.stderr, *after, list(requests))


# ---- the network configuration ------------------------------------------

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


@dataclasses.dataclass(frozen=True)
class File:
    text: str
    mode: int = 0o644
    uid: int = 0
    gid: int = 0


@dataclasses.dataclass(frozen=True)
class Link:
    target: str


# The programs confignw and dhcpcd.exe, stood in for by a script that says how it was called.
PROGRAM = File(pathlib.Path(__file__).with_name('device-program').read_text(), mode=0o755)

# The device's files as it leaves the factory.
DEVICE_FILES = {
    PORT_CONFIG: File(port_config()),
    NETWORK_CONFIG: File(network_config()),
    INTERFACE_CONFIG: File(interface_config()),
    SWITCH_CONFIG: File(switch_config()),
    CONFIGNW: PROGRAM,
    DHCPCD: PROGRAM,
}


def lay_out(files, root=''):
    """Replaces the device's files under root by these: File, Link, or None for none there."""
    for directory in DIRECTORIES:
        shutil.rmtree(root + directory, ignore_errors=True)
    for path, content in files.items():
        path = root + path
        if content is None:
            if os.path.lexists(path):
                os.unlink(path)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(content, Link):
            os.symlink(content.target, path)
            continue
        pathlib.Path(path).write_text(content.text, encoding='latin-1')
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
            found[path] = File(pathlib.Path(path).read_text(encoding='latin-1'),
                               status.st_mode & 0o7777, status.st_uid, status.st_gid)
    return found


# ---- the network apply ----------------------------------------------------
# The network suites' one case shape, Apply: a device whose environment holds a request (copy 1,
# active; copy 2 an older environment, obsolete), changed as the case says, and everything the
# apply must leave behind.
REQUEST = {'bootcmd': 'boot', 'use_net_settings': '1', 'gatewayip': '192.168.1.1',
           'netmask': '255.255.255.0', 'ipaddr': '192.168.1.20', 'use_dhcp': '0'}
OLDER_COPY = envimage.partition(['use_net_settings=0', 'ipaddr=10.9.9.8'],
                                flag=envimage.OBSOLETE)
UPDATED = 'Network settings updated...\n'
COMMIT = ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1']
STATIC = {
    PORT_CONFIG: port_config('192.168.1.20', '255.255.255.0'),
    NETWORK_CONFIG: network_config('192.168.1.1'),
    INTERFACE_CONFIG: interface_config('192.168.1.20', '255.255.255.0', '192.168.1.255',
                                       '192.168.1.0'),
}
UNTOUCHED = 'untouched'
CLEARED = 'request cleared'  # one commit: use_net_settings=0 at the end, active on copy 2


def shown(gatewayip='192.168.1.1', netmask='255.255.255.0', ipaddr='192.168.1.20', use_dhcp='0'):
    """The values as the apply prints them before it goes on."""
    return (f'gateway ip: {gatewayip}\nnetmask: {netmask}\nipaddr: {ipaddr}\n'
            f'use_dhcp: {use_dhcp}\n')


def entries(variables):
    return [f'{name}={value}' for name, value in variables.items() if value is not None]


def expected_files(files, changed):
    """The device's files after a run that wrote the changed texts (through links)."""
    before = {path: content for path, content in files.items() if content is not None}
    after = dict(before)
    for path, text in changed.items():
        target = os.path.realpath(path)
        after[target] = dataclasses.replace(before.get(target, File('')), text=text)
    return after


def flash_state(variables):
    """UNTOUCHED, CLEARED or, when neither, the entries of both copies."""
    copy1 = envimage.partition(entries(variables))
    mtd1, mtd2 = read_file(MTD1), read_file(MTD2)
    if (mtd1, mtd2) == (copy1, OLDER_COPY):
        return UNTOUCHED
    kept = entries({**variables, 'use_net_settings': None}) + ['use_net_settings=0']
    if (mtd1, mtd2) == (envimage.with_flag(copy1, envimage.OBSOLETE), envimage.partition(kept)):
        return CLEARED
    return (envimage.entries_of(mtd1 or b''), envimage.entries_of(mtd2 or b''))


@dataclasses.dataclass
class Apply:
    """One run of the network apply and what it must leave. By default: normal mode, the files
    patched as for REQUEST, the request cleared by one commit."""
    name: str
    args: list = dataclasses.field(default_factory=list)  # [], ['-t'] or ['-m']
    variables: dict = dataclasses.field(default_factory=dict)  # changes to REQUEST; None: absent
    files: dict = dataclasses.field(default_factory=dict)  # changes to DEVICE_FILES
    faults: list = dataclasses.field(default_factory=list)
    programs: dict = dataclasses.field(default_factory=dict)  # the stand-ins' FAKE_ settings
    setup: str = None  # shell commands run in the binary's own mount namespace first
    # what the run must do
    status: int = 0
    stdout: str = shown() + UPDATED
    stderr: str = ''
    changed: dict = dataclasses.field(default_factory=lambda: STATIC)  # the rest unchanged
    flash: object = CLEARED
    flash_requests: list = None  # default: COMMIT when the request is cleared, else none


@dataclasses.dataclass
class Outcome:
    status: int
    stdout: str
    stderr: str
    files: dict
    flash: object
    flash_requests: list


def prepare(case):
    """Lays the device out for a case: flash holding its request, its files."""
    write_flash(envimage.partition(entries({**REQUEST, **case.variables})), OLDER_COPY)
    lay_out({**DEVICE_FILES, **case.files})


def outcome(case, result):
    """What the run of a case left, to compare with expected(case)."""
    return Outcome(result.status, result.stdout, result.stderr, snapshot(),
                   flash_state({**REQUEST, **case.variables}), result.flash_requests)


def expected(case):
    requests = case.flash_requests
    if requests is None:
        requests = COMMIT if case.flash == CLEARED else []
    return Outcome(case.status, case.stdout, case.stderr,
                   expected_files({**DEVICE_FILES, **case.files}, case.changed), case.flash,
                   requests)


def failed_apply(name, **fields):
    """An Apply that ends with status 1 before the request is cleared: no file, no flash."""
    return Apply(name, **{'status': 1, 'changed': {}, 'flash': UNTOUCHED, **fields})


def check_apply(case, prepared=False):
    """Runs a case on the device laid out for it (or as the test prepared it) and compares the
    outcome."""
    if not prepared:
        prepare(case)
    result = run(case.args, faults=case.faults, programs=case.programs, setup=case.setup)
    assert outcome(case, result) == expected(case)


# ---- the boot -------------------------------------------------------------
INIT_SCRIPT = '/usr/local/etc/init.d/pelvanor-net'  # the build installed under /usr/local


def install():
    """Installs the build under test (PELVANOR_BUILD) under /usr/local, as an image does."""
    subprocess.run(['cmake', '--install', os.environ['PELVANOR_BUILD'], '--prefix', '/usr/local'],
                   check=True, stdout=subprocess.DEVNULL)


def listen_to_syslog():
    """A syslog socket at /dev/log that keeps what is logged, for boot()."""
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiver.bind('/dev/log')
    receiver.setblocking(False)
    return receiver


def boot(syslog, action='start', **settings):
    """Runs the installed init script with action, as init does; its status, console output and
    the (severity, line) pairs it logged. settings as for start()."""
    clear_flash_log()
    script = subprocess.run([INIT_SCRIPT, action], env=environment(**settings),
                            stdin=subprocess.DEVNULL, capture_output=True, text=True)
    logged = []
    while True:
        try:
            message = syslog.recv(4096).decode()
        except BlockingIOError:
            break
        priority, line = re.fullmatch(r'<(\d+)>.*? pelvanor-net: (.*)\n?', message).groups()
        logged.append(({29: 'notice', 27: 'err'}[int(priority)], line))  # daemon.*
    return script.returncode, script.stdout, logged


if __name__ == '__main__':
    if sys.argv[1:2] != ['lay-out'] or len(sys.argv) != 3:
        sys.exit('usage: device.py lay-out DIR')
    lay_out(DEVICE_FILES, root=sys.argv[2])
