"""Loading the environment: the copy chosen, a failed load, and what the queries print."""
import dataclasses
import subprocess

import pytest

import device
import envimage
from device import Fault, Result

COPY1 = envimage.partition(['x=1'])
COPY2 = envimage.partition(['x=2'], flag=envimage.OBSOLETE)
OPEN_COPY1 = 'read_uboot_env: Could not open env flash device...\n'


def left_alone(mtd1, mtd2, status=0, stdout='', stderr=''):
    """What a query returns: its status and output, and both partitions as they were."""
    return Result(status, stdout, stderr, mtd1, mtd2, flash_requests=[])


# A loader that reads the wrong device into a copy, or lets copy 2 win a tie, lists the wrong
# copy (copy 1 holds c=1, copy 2 c=2); the whole rule of the choice is the loader fuzzer's.
@dataclasses.dataclass
class Choice:
    flag1: int
    flag2: int
    chosen: int  # 0: neither
    copy1_valid: bool = True


@pytest.mark.parametrize('choice', [
    Choice(flag1=1, flag2=1, chosen=1),
    Choice(flag1=0, flag2=1, chosen=2),
    Choice(flag1=1, flag2=0, copy1_valid=False, chosen=2),
    Choice(flag1=0xFF, flag2=0xFF, chosen=0),
], ids=str)
def test_choice_of_copy(choice):
    mtd1 = envimage.partition(['c=1'], choice.flag1, valid=choice.copy1_valid)
    mtd2 = envimage.partition(['c=2'], choice.flag2)
    listing = ['', 'c=1\n', 'c=2\n'][choice.chosen]
    assert device.run_on(['-g'], mtd1, mtd2) == left_alone(mtd1, mtd2, stdout=listing)


# A load that fails without its message, with a stale error text, or with the wrong status for
# the listing (0) or the look-up (1) shows here.
@dataclasses.dataclass
class FailedLoad:
    what: str
    args: list
    mtd1: bytes
    mtd2: bytes
    status: int
    stderr: str
    faults: tuple = ()


@pytest.mark.parametrize('load', [
    FailedLoad('no /dev/mtd1', ['-g'], None, COPY2, status=0, stderr=OPEN_COPY1),
    FailedLoad('no /dev/mtd2', ['-g', 'x'], COPY1, None, status=1,
               stderr='read_uboot_env: Could not open env2 flash device...\nx not found\n'),
    FailedLoad('copy 1 one byte short', ['-g', 'x'], COPY1[:8191], COPY2, status=1,
               stderr='read_uboot_env: read(env1) failed: Success\nx not found\n'),
    FailedLoad('copy 2 read error', ['-g', 'x'], COPY1, COPY2, status=1,
               stderr='read_uboot_env: read(env2) failed: Input/output error\nx not found\n',
               faults=[Fault('read', 'EIO', device='mtd2', number=1)]),
], ids=lambda load: load.what)
def test_failed_load(load):
    assert device.run_on(load.args, load.mtd1, load.mtd2, faults=load.faults) == left_alone(
        load.mtd1, load.mtd2, status=load.status, stderr=load.stderr)


# A load that opens the devices read-only would succeed on a device the process may not write.
def test_read_only_device():
    device.write_flash(COPY1, COPY2)
    subprocess.run(['mount', '--bind', device.MTD1, device.MTD1], check=True)
    subprocess.run(['mount', '-o', 'remount,bind,ro', device.MTD1], check=True)
    try:
        got = device.run(['-g', 'x'])
    finally:
        subprocess.run(['umount', device.MTD1], check=True)
    assert (got.status, got.stderr) == (1, OPEN_COPY1 + 'x not found\n')


# A listing that changes entries or goes on past the first empty entry, or a look-up that
# matches a prefix, shows here; the finer rules of the walk are the loader fuzzer's.
ENTRIES = b'ipaddr=1.2.3.4\0e=\0=eq\0noeq\0a=b=c\0\0b=2\0'  # b=2 after the empty entry


@dataclasses.dataclass
class Lookup:
    args: list
    stdout: str  # None: "not found"


@pytest.mark.parametrize('lookup', [
    Lookup(args=['-g'], stdout='ipaddr=1.2.3.4\ne=\n=eq\nnoeq\na=b=c\n'),
    Lookup(args=['-g', 'a'], stdout='b=c\n'),
    Lookup(args=['-g', 'ip'], stdout=None),
], ids=lambda lookup: ' '.join(lookup.args))
def test_lookup(lookup):
    mtd1 = envimage.partition(ENTRIES)
    want = left_alone(mtd1, COPY2, stdout=lookup.stdout)
    if lookup.stdout is None:
        want = left_alone(mtd1, COPY2, status=1, stderr=f'{lookup.args[1]} not found\n')
    assert device.run_on(lookup.args, mtd1, COPY2) == want
