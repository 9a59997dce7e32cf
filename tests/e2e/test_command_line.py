"""The command line: which first argument chooses which command, the usage text, the version,
and the exit status when standard output cannot be written."""
import dataclasses
import fcntl
import os
import pty
import tempfile
import time

import device
import envimage
from tally import Tally

tally = Tally()

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


# A bad option names its whole first argument and shows the usage, with status 2 and no flash
# work. A dispatch that counts arguments wrongly, matches a prefix or reads past a short
# argument accepts one of these.
BAD_OPTIONS = [
    ['-g', 'a', 'b'], ['-s', 'a'], ['-s', 'a', 'b', 'c'], ['-d'], ['-d', 'a', 'b'], ['-S'],
    ['-vx'], ['--helpme'], ['-x'], ['-'], ['help'], [''],
]
for args in BAD_OPTIONS:
    tally.check('bad option %r' % args, device.run_on(args, COPY1, COPY2), {
        'status': 2, 'stdout': '', 'stderr': 'error: bad option:%s\n' % args[0] + USAGE,
        'flash requests': [], 'mtd1': COPY1, 'mtd2': COPY2,
    })


# Each command chosen by its first argument, extra arguments ignored where the command takes
# none. A dispatch that rejects them, or runs another command, prints something else here.
@dataclasses.dataclass
class Accepted:
    args: list
    stdout: str = ''
    stderr: str = ''


ACCEPTED = [
    Accepted(args=[]),  # the network apply, with no request waiting
    Accepted(args=['-t', 'a']),
    Accepted(args=['-m', 'a']),
    Accepted(args=['-v', 'extra'], stdout='pelvanor 101\n'),
    Accepted(args=['-g'], stdout='x=1\nuse_net_settings=0\n'),
    Accepted(args=['-g', 'x'], stdout='1\n'),
    Accepted(args=['-?', 'x', 'y'], stderr=USAGE),
    Accepted(args=['--help', '-v'], stderr=USAGE),
]
for case in ACCEPTED:
    tally.check('command %r' % case.args, device.run_on(case.args, COPY1, COPY2), {
        'status': 0, 'stdout': case.stdout, 'stderr': case.stderr,
        'flash requests': [], 'mtd1': COPY1, 'mtd2': COPY2,
    })


# A command whose results cannot be written (a full disk) must say so and end with status 1,
# or a script saving a value believes it has it; the same command writing to a file succeeds.
@dataclasses.dataclass
class Printing:
    args: list
    stdout: str


WAITING = envimage.partition(['x=1', 'use_net_settings=1', 'netmask=255.0.0.0',
                              'ipaddr=10.0.0.2', 'use_dhcp=0'])
PRINTING = [
    Printing(args=['-g'], stdout='x=1\nuse_net_settings=1\nnetmask=255.0.0.0\n'
                                 'ipaddr=10.0.0.2\nuse_dhcp=0\n'),
    Printing(args=['-g', 'ipaddr'], stdout='10.0.0.2\n'),
    Printing(args=['-v'], stdout='pelvanor 101\n'),
    Printing(args=['-t'], stdout='gateway ip: not found\nnetmask: 255.0.0.0\n'
                                 'ipaddr: 10.0.0.2\nuse_dhcp: 0\n'),
]
FULL_DISK = 'error: could not write standard output: No space left on device\n'
for case in PRINTING:
    device.write_flash(WAITING, COPY2)
    with open('/dev/full', 'wb') as full:
        on_full_disk = device.run(case.args, stdout=full)
    with tempfile.TemporaryFile() as saved:
        on_file = device.run(case.args, stdout=saved)
        saved.seek(0)
        written = saved.read().decode()
    tally.check('%r with standard output on a full disk, then on a file' % case.args, {
        'status on a full disk': on_full_disk.status, 'stderr': on_full_disk.stderr,
        'status on a file': on_file.status, 'written': written,
    }, {
        'status on a full disk': 1, 'stderr': FULL_DISK,
        'status on a file': 0, 'written': case.stdout,
    })


# On a terminal standard output is flushed line by line. A terminal that takes no more output
# (its queue full, its shared descriptor set non-blocking by another program) fails each line as
# it is written, so nothing is left to fail at the end: the loss must still be reported. Its
# error number is gone by then, and the message gives the system's text for EIO.
def fill_terminal(line):
    """Writes to a non-blocking terminal until it takes nothing more, also after the kernel
    has had time to move what it holds on to the other side."""
    for chunk in (1024, 1, 1, 1):
        try:
            while True:
                os.write(line, b'.' * chunk)
        except BlockingIOError:
            time.sleep(0.1)


terminal, full_terminal = pty.openpty()
fcntl.fcntl(full_terminal, fcntl.F_SETFL, fcntl.fcntl(full_terminal, fcntl.F_GETFL) | os.O_NONBLOCK)
fill_terminal(full_terminal)
version = device.run(['-v'], stdout=full_terminal)
os.close(full_terminal)
os.close(terminal)
tally.check('-v on a terminal that takes no more output', {
    'status': version.status, 'stderr': version.stderr,
}, {
    'status': 1, 'stderr': 'error: could not write standard output: Input/output error\n',
})

# An edit prints nothing, so a full disk on standard output changes nothing about its commit.
device.write_flash(COPY1, COPY2)
with open('/dev/full', 'wb') as full:
    edit = device.run(['-s', 'x', '3'], stdout=full)
tally.check('an edit with standard output on a full disk', {
    'status': edit.status, 'stderr': edit.stderr, 'flash requests': edit.flash_log,
    'mtd1': edit.mtd1, 'mtd2': edit.mtd2,
}, {
    'status': 0, 'stderr': '',
    'flash requests': ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1'],
    'mtd1': envimage.with_flag(COPY1, envimage.OBSOLETE),
    'mtd2': envimage.partition(['use_net_settings=0', 'x=3']),
})

# A reader that went away ends the command by SIGPIPE, as for any other tool, rather than with
# an error message nobody reads.
read_end, write_end = os.pipe()
os.close(read_end)
with os.fdopen(write_end, 'wb') as closed_pipe:
    listing = device.run(['-g'], stdout=closed_pipe)
tally.check('-g into a closed pipe', {'status': listing.status, 'stderr': listing.stderr},
            {'status': -13, 'stderr': ''})

tally.finish()
