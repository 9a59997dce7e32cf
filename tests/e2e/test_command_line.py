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
from device import Result

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
COPY1 = envimage.partition(['x=1', 'use_net_settings=0'])
COPY2 = envimage.partition(['x=2'], flag=envimage.OBSOLETE)


def command_line(args):
    return 'pelvanor ' + ' '.join(args)


# A dispatch that counts arguments wrongly or matches a prefix accepts one of these bad options.
@pytest.mark.parametrize('args', [['-g', 'a', 'b'], ['-s', 'a'], ['-d'], ['-S'], ['-vx'],
                                  ['--helpme'], ['help']], ids=command_line)
def test_bad_option(args):
    assert device.run_on(args, COPY1, COPY2) == Result(
        2, '', f'error: bad option:{args[0]}\n' + USAGE, COPY1, COPY2, flash_requests=[])


# A dispatch that rejects extra arguments where a command takes none, or runs another command,
# prints something else for one of these.
@dataclasses.dataclass
class Accepted:
    args: list
    stdout: str = ''
    stderr: str = ''


@pytest.mark.parametrize('case', [
    Accepted(args=[]),  # the network apply, with no request waiting
    Accepted(args=['-m', 'a']),
    Accepted(args=['-v', 'extra'], stdout='pelvanor 101\n'),
    Accepted(args=['-g'], stdout='x=1\nuse_net_settings=0\n'),
    Accepted(args=['-?', 'x'], stderr=USAGE),
    Accepted(args=['--help', '-v'], stderr=USAGE),
], ids=lambda case: command_line(case.args))
def test_command_chosen(case):
    assert device.run_on(case.args, COPY1, COPY2) == Result(
        0, case.stdout, case.stderr, COPY1, COPY2, flash_requests=[])


# A command that does not check its output tells a script saving a value on a full disk that it
# has it; one that checks too much fails although it printed nothing (an edit) or all of it.
@dataclasses.dataclass
class Printing:
    args: list
    printed: str


@pytest.mark.parametrize('case', [
    Printing(args=['-t'], printed='gateway ip: not found\nnetmask: 255.0.0.0\n'
                                  'ipaddr: 10.0.0.2\nuse_dhcp: 0\n'),
    Printing(args=['-s', 'x', '3'], printed=''),
], ids=lambda case: command_line(case.args))
def test_output_on_a_full_disk(case):
    waiting = envimage.partition(['use_net_settings=1', 'netmask=255.0.0.0', 'ipaddr=10.0.0.2',
                                  'use_dhcp=0'])
    device.write_flash(waiting, COPY2)
    with open('/dev/full', 'wb') as full:
        on_full_disk = device.run(case.args, stdout=full)
    device.write_flash(waiting, COPY2)
    with tempfile.TemporaryFile() as saved:
        on_file = device.run(case.args, stdout=saved)
        saved.seek(0)
        assert (on_file.status, saved.read().decode()) == (0, case.printed)
    lost = 'error: could not write standard output: No space left on device\n'
    assert (on_full_disk.status, on_full_disk.stderr) == ((1, lost) if case.printed else (0, ''))


# A check made only at exit misses a terminal that failed each line as it was written (its
# error number is gone by then, so EIO's text stands for it).
def test_terminal_that_takes_no_more_output():
    terminal, full_terminal = pty.openpty()
    flags = fcntl.fcntl(full_terminal, fcntl.F_GETFL)
    fcntl.fcntl(full_terminal, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    for chunk in (1024, 1, 1, 1):  # until it takes nothing, also after the kernel moved data on
        try:
            while True:
                os.write(full_terminal, b'.' * chunk)
        except BlockingIOError:
            time.sleep(0.1)
    version = device.run(['-v'], stdout=full_terminal)
    os.close(full_terminal)
    os.close(terminal)
    assert (version.status, version.stderr) == (
        1, 'error: could not write standard output: Input/output error\n')


# A command that catches SIGPIPE prints an error nobody reads instead of ending quietly.
def test_listing_into_a_closed_pipe():
    read_end, write_end = os.pipe()
    os.close(read_end)
    device.write_flash(COPY1, COPY2)
    listing = device.run(['-g'], stdout=write_end)
    os.close(write_end)
    assert (listing.status, listing.stderr) == (-13, '')
