"""Loading the environment: the copy chosen, a failed load, and what the queries print."""
import subprocess

import pytest

import device
import envimage
from device import Fault, Run

COPY1 = envimage.partition(['x=1'])
COPY2 = envimage.partition(['x=2'], flag=envimage.OBSOLETE)
OPEN_COPY1 = 'read_uboot_env: Could not open env flash device...\n'
LISTED = (envimage.partition(b'ipaddr=1.2.3.4\0e=\0=eq\0noeq\0a=b=c\0\0b=2\0'), COPY2)


def copies(flag1, flag2, copy1_valid=True):
    """Copy 1 holding c=1, copy 2 c=2, with these flags."""
    return (envimage.partition(['c=1'], flag1, valid=copy1_valid),
            envimage.partition(['c=2'], flag2))


CASES = [
    # A loader that reads the wrong device into a copy, or lets copy 2 win a tie, lists the
    # wrong copy (the whole rule of the choice is the loader fuzzer's).
    Run('both copies active', ['-g'], copies(1, 1), stdout='c=1\n'),
    Run('copy 2 active', ['-g'], copies(0, 1), stdout='c=2\n'),
    Run('copy 1 active, its checksum failed', ['-g'], copies(1, 0, False), stdout='c=2\n'),
    Run('neither usable', ['-g'], copies(0xFF, 0xFF)),
    # A load that fails without its message, with a stale error text, or with the wrong status
    # for the listing (0) or the look-up (1) shows here.
    Run('no /dev/mtd1', ['-g'], (None, COPY2), stderr=OPEN_COPY1),
    Run('no /dev/mtd2', ['-g', 'x'], (COPY1, None), status=1,
        stderr='read_uboot_env: Could not open env2 flash device...\nx not found\n'),
    Run('copy 1 one byte short', ['-g', 'x'], (COPY1[:8191], COPY2), status=1,
        stderr='read_uboot_env: read(env1) failed: Success\nx not found\n'),
    Run('copy 2 read error', ['-g', 'x'], (COPY1, COPY2), status=1,
        faults=[Fault('read', 'EIO', device='mtd2', number=1)],
        stderr='read_uboot_env: read(env2) failed: Input/output error\nx not found\n'),
    # A listing that changes entries or goes on past the first empty entry, or a look-up that
    # matches a prefix, shows here (the finer rules of the walk are the loader fuzzer's).
    Run('listing', ['-g'], LISTED, stdout='ipaddr=1.2.3.4\ne=\n=eq\nnoeq\na=b=c\n'),
    Run('value holding "="', ['-g', 'a'], LISTED, stdout='b=c\n'),
    Run('prefix of a name', ['-g', 'ip'], LISTED, status=1, stderr='ip not found\n'),
]


@pytest.mark.parametrize('case', CASES, ids=lambda case: case.name)
def test_query(case):
    device.check_run(case)


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
