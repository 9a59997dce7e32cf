"""The network apply's cases for the network suites: the environment holding a request, what a
run is expected to print and leave, and check(), which runs one case on the simulated device
(tools/device.py: its files and stand-in programs) and compares everything it changed."""
import dataclasses
import os

import device
import envimage
from device import DEVICE_FILES, File, lay_out, snapshot


def padded(text, size):
    """text grown to size bytes by a comment line of '#' at its end."""
    return text + '#' * (size - len(text) - 1) + '\n'


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
