"""Loading the environment: which copy is chosen, what a failed load says, and how the queries
find and list entries in the chosen copy."""
import dataclasses
import subprocess

import device
import envimage
from tally import Tally

tally = Tally()

OPEN_COPY1 = 'read_uboot_env: Could not open env flash device...\n'
OPEN_COPY2 = 'read_uboot_env: Could not open env2 flash device...\n'


def query(args, mtd1, mtd2, simulator=None):
    """Runs a query on these partitions; a query must never touch flash."""
    got = device.run_on(args, mtd1, mtd2, simulator)
    got['flash unchanged'] = (got.pop('mtd1'), got.pop('mtd2')) == (mtd1, mtd2)
    return got


def expected(status=0, stdout='', stderr=''):
    return {'status': status, 'stdout': stdout, 'stderr': stderr, 'flash unchanged': True,
            'flash requests': []}


# The choice of the active copy by the two flag bytes, after the checksums: a copy whose
# checksum fails, or whose stored flag is 0xFF, is never chosen; a copy flagged 1 wins, copy 1
# when both are; otherwise a valid copy, copy 1 first; any flag other than 1 and 0xFF counts as
# 0. Copy 1 holds c=1 and copy 2 c=2, so the listing tells which one was chosen.
@dataclasses.dataclass
class Choice:
    flag1: int
    flag2: int
    chosen: int  # 0: neither
    valid1: bool = True
    valid2: bool = True


CHOICES = [
    Choice(flag1=1, flag2=1, chosen=1),
    Choice(flag1=0, flag2=1, chosen=2),
    Choice(flag1=0xFF, flag2=1, chosen=2),
    Choice(flag1=0, flag2=0, chosen=1),
    Choice(flag1=0, flag2=0xFF, chosen=1),
    Choice(flag1=0xFF, flag2=0, chosen=2),
    Choice(flag1=0xFF, flag2=0xFF, chosen=0),
    Choice(flag1=1, flag2=1, valid1=False, chosen=2),
    Choice(flag1=1, flag2=0, valid1=False, chosen=2),
    Choice(flag1=1, flag2=1, valid1=False, valid2=False, chosen=0),
    Choice(flag1=7, flag2=1, chosen=2),
    Choice(flag1=7, flag2=0, chosen=1),
]
for choice in CHOICES:
    listing = {0: '', 1: 'c=1\n', 2: 'c=2\n'}[choice.chosen]
    tally.check('loader choice %s' % choice, query(
        ['-g'], envimage.partition(['c=1'], choice.flag1, valid=choice.valid1),
        envimage.partition(['c=2'], choice.flag2, valid=choice.valid2)), expected(stdout=listing))


# A load that fails reports the device and step where it can (nothing when both checksums
# fail); the listing then prints nothing and ends with 0, a look-up says "not found" and ends
# with 1. A short read is a failure even when the system reports no error.
COPY1 = envimage.partition(['x=1'])
COPY2 = envimage.partition(['x=2'], flag=envimage.OBSOLETE)
BAD1 = envimage.partition(['x=1'], valid=False)
BAD2 = envimage.partition(['x=2'], flag=envimage.OBSOLETE, valid=False)


@dataclasses.dataclass
class FailedLoad:
    what: str
    args: list
    mtd1: bytes
    mtd2: bytes
    status: int
    stderr: str
    simulator: dict = None


FAILED_LOADS = [
    FailedLoad('no /dev/mtd1', ['-g'], None, COPY2, status=0, stderr=OPEN_COPY1),
    FailedLoad('no /dev/mtd2', ['-g', 'x'], COPY1, None, status=1,
               stderr=OPEN_COPY2 + 'x not found\n'),
    FailedLoad('copy 1 one byte short', ['-g', 'x'], COPY1[:8191], COPY2, status=1,
               stderr='read_uboot_env: read(env1) failed: Success\nx not found\n'),
    FailedLoad('copy 2 of 100 bytes', ['-g'], COPY1, COPY2[:100], status=0,
               stderr='read_uboot_env: read(env2) failed: Success\n'),
    FailedLoad('copy 2 read error', ['-g', 'x'], COPY1, COPY2, status=1,
               stderr='read_uboot_env: read(env2) failed: Input/output error\nx not found\n',
               simulator={'FAIL_READ': 'mtd2:1:EIO'}),
    FailedLoad('both checksums fail', ['-g'], BAD1, BAD2, status=0, stderr=''),
    FailedLoad('both checksums fail', ['-g', 'x'], BAD1, BAD2, status=1,
               stderr='x not found\n'),
]
for load in FAILED_LOADS:
    tally.check('%s: pelvanor %s' % (load.what, ' '.join(load.args)),
                query(load.args, load.mtd1, load.mtd2, load.simulator),
                expected(status=load.status, stderr=load.stderr))

# Loading opens both devices for reading and writing, so a device node the process may read
# but not write fails to open even for a query: here a read-only bind mount (EROFS, also for
# root).
device.write_flash(COPY1, COPY2)
subprocess.run(['mount', '--bind', device.MTD1, device.MTD1], check=True)
subprocess.run(['mount', '-o', 'remount,bind,ro', device.MTD1], check=True)
read_only = device.run(['-g', 'x'])
subprocess.run(['umount', device.MTD1], check=True)
tally.check('read-only /dev/mtd1: pelvanor -g x',
            {'status': read_only.status, 'stderr': read_only.stderr},
            {'status': 1, 'stderr': OPEN_COPY1 + 'x not found\n'})


# Look-up and listing in storage order: a name matches only a whole name followed by "=", the
# first of two entries wins, the value runs to the entry's end (it may hold "="), the listing
# prints each entry as stored, and the list ends at the first empty entry. A copy whose last
# entry runs to the end of the image without a terminator loses that entry's last byte, the
# one the load sets to 0.
ENTRIES = ['ipaddr=1.2.3.4', 'e=', '=eq', 'noeq', 'dup=1', 'dup=2', 'a=b=c']
NO_TERMINATOR = b'a=1\0z=' + b'y' * 8181  # runs up to the image's last byte
CUT_VALUE = 'y' * 8180


@dataclasses.dataclass
class Lookup:
    entries: object  # a list of entries, or bytes: the start of the data area as stored
    name: str  # None: list every entry
    stdout: str  # None: "not found"


LOOKUPS = [
    Lookup(entries=ENTRIES, name=None,
           stdout='ipaddr=1.2.3.4\ne=\n=eq\nnoeq\ndup=1\ndup=2\na=b=c\n'),
    Lookup(entries=ENTRIES, name='ipaddr', stdout='1.2.3.4\n'),
    Lookup(entries=ENTRIES, name='ip', stdout=None),
    Lookup(entries=ENTRIES, name='e', stdout='\n'),
    Lookup(entries=ENTRIES, name='', stdout='eq\n'),
    Lookup(entries=ENTRIES, name='noeq', stdout=None),
    Lookup(entries=ENTRIES, name='dup', stdout='1\n'),
    Lookup(entries=ENTRIES, name='a', stdout='b=c\n'),
    Lookup(entries=[], name=None, stdout=''),
    Lookup(entries=[], name='a', stdout=None),
    Lookup(entries=b'a=1\0\0b=2\0\0', name=None, stdout='a=1\n'),
    Lookup(entries=NO_TERMINATOR, name=None, stdout='a=1\nz=%s\n' % CUT_VALUE),
    Lookup(entries=NO_TERMINATOR, name='z', stdout=CUT_VALUE + '\n'),
]
for lookup in LOOKUPS:
    args = ['-g'] if lookup.name is None else ['-g', lookup.name]
    want = expected(stdout=lookup.stdout)
    if lookup.stdout is None:
        want = expected(status=1, stderr='%s not found\n' % lookup.name)
    entries = lookup.entries
    title = entries[:12] if isinstance(entries, bytes) else '%d entries' % len(entries)
    tally.check('look-up in %s: pelvanor %s' % (title, ' '.join(args)),
                query(args, envimage.partition(entries), COPY2), want)

tally.finish()
