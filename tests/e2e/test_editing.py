"""The edit commands (-s, -S, -d): what the new image holds after one commit, when an edit does
not fit, and what an edit does when the environment cannot be loaded. The flash work of the
commit itself is the subject of test_commit.py."""
import dataclasses

import device
import envimage
from tally import Tally

tally = Tally()

# Copy 2 is an older, obsolete copy with a filler that is not erased flash, so that a commit
# to it shows the whole erase block erased.
SPARE = envimage.partition(['q=7'], flag=envimage.OBSOLETE, fill=b'\x5a')
COMMIT = ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1']
NO_TERMINATOR = b'a=1\0z=' + b'y' * 8181  # its last entry runs to the image's last byte
CUT_VALUE = 'y' * 8180  # what the load leaves of that entry's value


def edit(args, before):
    return device.run_on(args, envimage.partition(before), SPARE)


# An edit drops every entry of its name and appends the new one at the end, keeping the other
# entries in order; -S splits each argument at its first "=", applies them in order to one
# image (an argument without "=" deletes) and commits once; a name matches only whole; what
# follows the first empty entry of the old image is not carried over. Into an empty
# environment a name and value of 8184 bytes together fit, and the space of the entries an
# edit drops counts as free.
@dataclasses.dataclass
class Edit:
    before: object  # entries, or bytes: the start of the data area as stored
    args: list
    after: list


EDITS = [
    Edit(before=['a=1', 'b=2'], args=['-s', 'c', '3'], after=['a=1', 'b=2', 'c=3']),
    Edit(before=['a=1', 'b=2'], args=['-s', 'a', '9'], after=['b=2', 'a=9']),
    Edit(before=['a=1', 'b=2'], args=['-s', 'a', ''], after=['b=2', 'a=']),
    Edit(before=['a=1', 'b=2'], args=['-s', 'b', 'x y=z'], after=['a=1', 'b=x y=z']),
    Edit(before=['a=1', 'b=2'], args=['-d', 'a'], after=['b=2']),
    Edit(before=['a=1', 'b=2'], args=['-d', 'zz'], after=['a=1', 'b=2']),
    Edit(before=['a=1', 'b=2', 'a=3'], args=['-d', 'a'], after=['b=2']),
    Edit(before=['a=1', 'b=2', 'a=3'], args=['-s', 'a', '4'], after=['b=2', 'a=4']),
    Edit(before=['ipaddr=1'], args=['-d', 'ip'], after=['ipaddr=1']),
    Edit(before=['b=2', 'x=0'], args=['-S', 'a=1', 'b', 'c='], after=['x=0', 'a=1', 'c=']),
    Edit(before=['a=0'], args=['-S', 'a=1', 'a=2'], after=['a=2']),
    Edit(before=['b=1'], args=['-S', 'x=1', 'x'], after=['b=1']),
    Edit(before=[], args=['-S', 'k=v=w', '=e'], after=['k=v=w', '=e']),
    Edit(before=b'a=1\0\0b=2\0' + bytes(100), args=['-s', 'c', '3'], after=['a=1', 'c=3']),
    Edit(before=[], args=['-s', 'n', 'v' * 8183], after=['n=' + 'v' * 8183]),
    Edit(before=[], args=['-s', 'n' * 8184, ''], after=['n' * 8184 + '=']),
    Edit(before=['n=' + 'v' * 8180], args=['-s', 'n', 'w' * 8183], after=['n=' + 'w' * 8183]),
    Edit(before=['n=' + 'v' * 8180], args=['-s', 'm', ''], after=['n=' + 'v' * 8180, 'm=']),
    Edit(before=NO_TERMINATOR, args=['-d', 'a'], after=['z=' + CUT_VALUE]),
]
for case in EDITS:
    title = case.before[:12] if isinstance(case.before, bytes) else case.before[:3]
    tally.check('edit %s of %s' % (case.args[:3], title), edit(case.args, case.before), {
        'status': 0, 'stdout': '', 'stderr': '',
        'mtd1': envimage.with_flag(envimage.partition(case.before), envimage.OBSOLETE),
        'mtd2': envimage.partition(case.after), 'flash requests': COMMIT,
    })


# An edit that does not fit leaves flash untouched, and -S then commits none of its edits. A
# delete in a copy whose kept entries reach the image's last byte has no room for the list's
# terminator and is refused the same way (it says "set" for -S, as for any of its arguments).
@dataclasses.dataclass
class NoRoom:
    before: object
    args: list
    stderr: str


NO_ROOM = [
    NoRoom(before=[], args=['-s', 'n', 'v' * 8184],
           stderr='could not set n=%s\n' % ('v' * 8184)),
    NoRoom(before=[], args=['-s', 'n' * 8185, ''], stderr='could not set %s=\n' % ('n' * 8185)),
    NoRoom(before=['n=' + 'v' * 8180], args=['-s', 'm', 'x'], stderr='could not set m=x\n'),
    NoRoom(before=['a=1'], args=['-S', 'b=2', 'n=' + 'v' * 8184, 'c=3'],
           stderr='could not set n=%s\n' % ('v' * 8184)),
    NoRoom(before=NO_TERMINATOR, args=['-d', 'q'], stderr='could not delete q\n'),
    NoRoom(before=NO_TERMINATOR, args=['-S', 'q'], stderr='could not set q=\n'),
]
for case in NO_ROOM:
    title = case.before[:12] if isinstance(case.before, bytes) else case.before[:3]
    tally.check('no room for %s in %s' % ([arg[:12] for arg in case.args], title),
                edit(case.args, case.before), {
                    'status': 1, 'stdout': '', 'stderr': case.stderr,
                    'mtd1': envimage.partition(case.before), 'mtd2': SPARE,
                    'flash requests': [],
                })


# An edit whose environment cannot be loaded (a device missing, or no valid copy) fails with
# its own line after the loader's and leaves flash untouched.
@dataclasses.dataclass
class Unloaded:
    args: list
    mtd1: bytes
    mtd2: bytes
    stderr: str


COPY1 = envimage.partition(['a=0'])
BAD1 = envimage.partition(['a=1'], valid=False)
BAD2 = envimage.partition(['a=2'], flag=envimage.OBSOLETE, valid=False)
UNLOADED = [
    Unloaded(args=['-s', 'a', '1'], mtd1=COPY1, mtd2=None,
             stderr='read_uboot_env: Could not open env2 flash device...\ncould not set a=1\n'),
    Unloaded(args=['-d', 'a'], mtd1=BAD1, mtd2=BAD2, stderr='could not delete a\n'),
    Unloaded(args=['-S', 'a=1', 'b'], mtd1=BAD1, mtd2=BAD2, stderr='could not set a=1\n'),
    Unloaded(args=['-S', 'b', 'a=1'], mtd1=BAD1, mtd2=BAD2, stderr='could not set b=\n'),
]
for case in UNLOADED:
    tally.check('environment not loaded: pelvanor %s' % ' '.join(case.args),
                device.run_on(case.args, case.mtd1, case.mtd2), {
                    'status': 1, 'stdout': '', 'stderr': case.stderr, 'mtd1': case.mtd1,
                    'mtd2': case.mtd2, 'flash requests': [],
                })

tally.finish()
