"""The command line: the choice of command, the usage, and output that cannot be written."""
import dataclasses
import fcntl
import os
import pty
import tempfile
import time

import pytest

import device
import envimage
from device import Run

USAGE = (
    'Usage: (not complete)\n'
    '  pelvanor -g            get entire U-Boot environment\n'
    '  pelvanor -g NAME       get value of U-Boot environment variable\n'
    '  pelvanor -s NAME VALUE set value of U-Boot environment variable\n'
    '  pelvanor -S "name1=value1" ["name2=value2" [...]]\n'
    '      set multiple U-Boot environment variables\n'
    '  pelvanor -d NAME       delete U-Boot environment variable\n'
    '  pelvanor -v            display version\n'
    '  pelvanor -? or --help  display this help and exit\n'
)
FLASH = (envimage.partition(['x=1', 'use_net_settings=0']),
         envimage.partition(['x=2'], flag=envimage.OBSOLETE))
BAD_OPTIONS = [['-g', 'a', 'b'], ['-s', 'a'], ['-d'], ['-S'], ['-vx'], ['--helpme'], ['help']]

CASES = [
    # A dispatch that counts arguments wrongly or matches a prefix accepts a bad option.
    *[Run(' '.join(args), args, FLASH, status=2,
          stderr=f'error: bad option:{args[0]}\n' + USAGE) for args in BAD_OPTIONS],
    # A dispatch that rejects extra arguments where a command takes none, or runs another
    # command, prints something else.
    Run('apply with nothing waiting', [], FLASH),
    Run('-m and an extra argument', ['-m', 'a'], FLASH),
    Run('-v and an extra argument', ['-v', 'a'], FLASH, stdout='pelvanor 101\n'),
    Run('-g', ['-g'], FLASH, stdout='x=1\nuse_net_settings=0\n'),
    Run('-? and an extra argument', ['-?', 'a'], FLASH, stderr=USAGE),
    Run('--help and an extra argument', ['--help', '-v'], FLASH, stderr=USAGE),
]


@pytest.mark.parametrize('case', CASES, ids=lambda case: case.name)
def test_command(case):
    device.check_run(case)


def full_terminal():
    """A terminal, set non-blocking, that takes no more output (also after the kernel had time
    to move what it holds on to the other side); and its other end."""
    other_end, terminal = pty.openpty()
    fcntl.fcntl(terminal, fcntl.F_SETFL, fcntl.fcntl(terminal, fcntl.F_GETFL) | os.O_NONBLOCK)
    for chunk in (1024, 1, 1, 1):
        try:
            while True:
                os.write(terminal, b'.' * chunk)
        except BlockingIOError:
            time.sleep(0.1)
    return terminal, other_end


def closed_pipe():
    read_end, write_end = os.pipe()
    os.close(read_end)
    return write_end, write_end


def full_disk():
    descriptor = os.open('/dev/full', os.O_WRONLY)
    return descriptor, descriptor


@dataclasses.dataclass
class Output:
    args: list
    to: object  # opens where standard output goes: its descriptor and one to close after
    status: int
    lost: str = None  # the error text of the line that says the output was lost


WAITING = (envimage.partition(['use_net_settings=1', 'netmask=255.0.0.0', 'ipaddr=10.0.0.2',
                               'use_dhcp=0']), FLASH[1])


# A command that does not check its output tells a script saving a value that it has it; one
# that checks only at exit misses a terminal that failed each line as it was written (its error
# number gone, EIO's text stands for it); one that checks too much fails although it printed
# nothing; one that catches SIGPIPE prints an error nobody reads.
@pytest.mark.parametrize('case', [
    Output(args=['-t'], to=full_disk, status=1, lost='No space left on device'),
    Output(args=['-s', 'x', '3'], to=full_disk, status=0),
    Output(args=['-v'], to=full_terminal, status=1, lost='Input/output error'),
    Output(args=['-g'], to=closed_pipe, status=-13),
], ids=lambda case: f"{' '.join(case.args)} to {case.to.__name__}")
def test_output_that_cannot_be_written(case):
    device.write_flash(*WAITING)
    stdout, other_end = case.to()
    result = device.run(case.args, stdout=stdout)
    os.close(stdout)
    if other_end != stdout:
        os.close(other_end)
    lost = f'error: could not write standard output: {case.lost}\n' if case.lost else ''
    assert (result.status, result.stderr) == (case.status, lost)


# A check that fails a command whose output all arrived shows on a plain file.
def test_output_on_a_file():
    device.write_flash(*WAITING)
    with tempfile.TemporaryFile() as saved:
        result = device.run(['-t'], stdout=saved)
        saved.seek(0)
        assert (result.status, saved.read()) == (
            0, b'gateway ip: not found\nnetmask: 255.0.0.0\nipaddr: 10.0.0.2\nuse_dhcp: 0\n')
