"""The edit commands (-s, -S, -d): the image they commit, and edits that cannot be made."""
import pytest

import device
import envimage
from device import Run

# Copy 2 is an older copy with a filler that is not erased flash, so that a commit to it shows
# the whole erase block erased.
SPARE = envimage.partition(['q=7'], flag=envimage.OBSOLETE, fill=b'\x5a')
NO_TERMINATOR = b'a=1\0z=' + b'y' * 8181  # its last entry runs to the image's last byte
BAD = (envimage.partition(['a=1'], valid=False),
       envimage.partition(['a=2'], flag=envimage.OBSOLETE, valid=False))


def edit(name, before, args, after):
    """An edit of copy 1 (before: its entries, or its data area as stored) that commits the
    entries after to copy 2."""
    mtd1 = envimage.partition(before)
    return Run(name, args, (mtd1, SPARE), flash_after=(envimage.with_flag(mtd1, 0),
                                                       envimage.committed(SPARE, after)),
               flash_requests=['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1'])


def refused(name, before, args, stderr):
    """An edit of copy 1 (before as for edit) that fails with stderr and writes nothing."""
    return Run(name, args, (envimage.partition(before), SPARE), status=1, stderr=stderr)


CASES = [
    # A command that splits or orders its arguments wrongly, skips the commit of an edit that
    # changes nothing, or counts the room of a replaced entry as taken commits another image
    # (the finer rules of the rebuild are the editor fuzzer's).
    edit('set', before=['a=1', 'b=2'], args=['-s', 'a', 'x y=z'], after=['b=2', 'a=x y=z']),
    edit('set empty', before=['a=1', 'b=2'], args=['-s', 'a', ''], after=['b=2', 'a=']),
    edit('delete absent', before=['a=1', 'b=2'], args=['-d', 'zz'], after=['a=1', 'b=2']),
    edit('set several', before=['b=2', 'x=0'], args=['-S', 'a=1', 'b', 'c='],
         after=['x=0', 'a=1', 'c=']),
    edit('set several in order', before=['a=0'], args=['-S', 'a=1', 'a=2', 'k=v=w', '=e'],
         after=['a=2', 'k=v=w', '=e']),
    edit('exactly room', before=[], args=['-s', 'n', 'v' * 8183], after=['n=' + 'v' * 8183]),
    edit('room of the replaced entry', before=['n=' + 'v' * 8180],
         args=['-s', 'n', 'w' * 8183], after=['n=' + 'w' * 8183]),
    edit('delete in a copy without terminator', before=NO_TERMINATOR, args=['-d', 'a'],
         after=['z=' + 'y' * 8180]),
    # An edit that does not fit (a byte too long, no room for the terminator of a damaged copy,
    # one -S argument of several), or of an environment that could not be loaded, but still
    # commits, or says the wrong line, shows here.
    refused('no room', before=[], args=['-s', 'n', 'v' * 8184],
            stderr=f"could not set n={'v' * 8184}\n"),
    refused('no room beside an entry', before=['n=' + 'v' * 8180], args=['-s', 'm', 'x'],
            stderr='could not set m=x\n'),
    refused('no room for one of several', before=['a=1'],
            args=['-S', 'b=2', 'n=' + 'v' * 8184, 'c=3'], stderr=f"could not set n={'v' * 8184}\n"),
    refused('delete without room', before=NO_TERMINATOR, args=['-d', 'q'],
            stderr='could not delete q\n'),
    refused('several, delete without room', before=NO_TERMINATOR, args=['-S', 'q'],
            stderr='could not set q=\n'),
    Run('set, no /dev/mtd2', ['-s', 'a', '1'], (envimage.partition(['a=0']), None), status=1,
        stderr='read_uboot_env: Could not open env2 flash device...\ncould not set a=1\n'),
    Run('delete, no valid copy', ['-d', 'a'], BAD, status=1, stderr='could not delete a\n'),
    Run('set several, no valid copy', ['-S', 'b', 'a=1'], BAD, status=1,
        stderr='could not set b=\n'),
]


@pytest.mark.parametrize('case', CASES, ids=lambda case: case.name)
def test_edit(case):
    device.check_run(case)
