"""The edit commands (-s, -S, -d): the image they commit, and edits that cannot be made."""
import dataclasses

import pytest

import device
import envimage
from device import Result

# Copy 2 is an older copy with a filler that is not erased flash, so that a commit to it shows
# the whole erase block erased.
SPARE = envimage.partition(['q=7'], flag=envimage.OBSOLETE, fill=b'\x5a')
COMMIT = ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1']
NO_TERMINATOR = b'a=1\0z=' + b'y' * 8181  # its last entry runs to the image's last byte


def title(case):
    return ' '.join(arg[:12] for arg in case.args)


def on_spare(before):
    """Copy 1 holding before (entries, or the data area as stored), copy 2 the spare."""
    return envimage.partition(before), SPARE


# A command that splits or orders its arguments wrongly, skips the commit of an edit that
# changes nothing, or counts the room of a replaced entry as taken commits another image (the
# finer rules of the rebuild are the editor fuzzer's).
@dataclasses.dataclass
class Edit:
    before: object  # entries, or bytes: the start of the data area as stored
    args: list
    after: list


@pytest.mark.parametrize('case', [
    Edit(before=['a=1', 'b=2'], args=['-s', 'a', 'x y=z'], after=['b=2', 'a=x y=z']),
    Edit(before=['a=1', 'b=2'], args=['-s', 'a', ''], after=['b=2', 'a=']),
    Edit(before=['a=1', 'b=2'], args=['-d', 'zz'], after=['a=1', 'b=2']),
    Edit(before=['b=2', 'x=0'], args=['-S', 'a=1', 'b', 'c='], after=['x=0', 'a=1', 'c=']),
    Edit(before=['a=0'], args=['-S', 'a=1', 'a=2', 'k=v=w', '=e'], after=['a=2', 'k=v=w', '=e']),
    Edit(before=[], args=['-s', 'n', 'v' * 8183], after=['n=' + 'v' * 8183]),
    Edit(before=['n=' + 'v' * 8180], args=['-s', 'n', 'w' * 8183], after=['n=' + 'w' * 8183]),
    Edit(before=NO_TERMINATOR, args=['-d', 'a'], after=['z=' + 'y' * 8180]),
], ids=title)
def test_edit(case):
    mtd1, spare = on_spare(case.before)
    assert device.run_on(case.args, mtd1, spare) == Result(
        0, '', '', envimage.with_flag(mtd1, envimage.OBSOLETE), envimage.partition(case.after),
        COMMIT)


# An edit that does not fit (a value one byte too long, no room for the terminator of a
# damaged copy, one -S argument of several) but still commits, or says the wrong line, shows
# here; so does an edit of an environment that could not be loaded.
BAD1 = envimage.partition(['a=1'], valid=False)
BAD2 = envimage.partition(['a=2'], flag=envimage.OBSOLETE, valid=False)


@dataclasses.dataclass
class Refused:
    args: list
    flash: tuple  # both partitions, before and after
    stderr: str


@pytest.mark.parametrize('case', [
    Refused(args=['-s', 'n', 'v' * 8184], flash=on_spare([]),
            stderr=f"could not set n={'v' * 8184}\n"),
    Refused(args=['-s', 'm', 'x'], flash=on_spare(['n=' + 'v' * 8180]),
            stderr='could not set m=x\n'),
    Refused(args=['-S', 'b=2', 'n=' + 'v' * 8184, 'c=3'], flash=on_spare(['a=1']),
            stderr=f"could not set n={'v' * 8184}\n"),
    Refused(args=['-d', 'q'], flash=on_spare(NO_TERMINATOR), stderr='could not delete q\n'),
    Refused(args=['-S', 'q'], flash=on_spare(NO_TERMINATOR), stderr='could not set q=\n'),
    Refused(args=['-s', 'a', '1'], flash=(envimage.partition(['a=0']), None),
            stderr='read_uboot_env: Could not open env2 flash device...\ncould not set a=1\n'),
    Refused(args=['-d', 'a'], flash=(BAD1, BAD2), stderr='could not delete a\n'),
    Refused(args=['-S', 'b', 'a=1'], flash=(BAD1, BAD2), stderr='could not set b=\n'),
], ids=title)
def test_refused(case):
    assert device.run_on(case.args, *case.flash) == Result(1, '', case.stderr, *case.flash, [])
