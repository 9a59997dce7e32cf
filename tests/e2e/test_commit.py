"""The commit: its flash work byte for byte, its erase, and each failing step."""
import pytest

import device
import envimage
from device import Fault, Run
from envimage import committed

PARTITION = envimage.PARTITION_SIZE
ACTIVE = envimage.partition(['a=1', 'b=2'])
SPARE = envimage.partition(['q=7'], flag=envimage.OBSOLETE, fill=b'\x5a')
NEW = committed(SPARE, ['b=2', 'a=9'])
ERASED = b'\xff' * PARTITION
TO_COPY2 = ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1']
ERASE_FAILED = 'mgr: Failed to erase env sector...\n'
SET_FAILED = 'could not write env for set a=9\n'


def obsolete(partition):
    return envimage.with_flag(partition, envimage.OBSOLETE)


def erase_block(erase_size, partition_size, erased):
    """-s n 1 on partitions of partition_size with blocks of erase_size: erased bytes erased,
    or (erased None) the commit refused before anything is erased."""
    before = (envimage.partition(['x=1'], size=partition_size),
              envimage.partition(['x=2'], flag=0, size=partition_size, fill=b'\x11'))
    name = f'blocks of {erase_size} in {partition_size}'
    settings = {'ERASESIZE': erase_size}
    if erased is None:
        return Run(name, ['-s', 'n', '1'], before, settings=settings, status=1,
                   stderr='ubootenv: Flash erase failed - env does not fit the partition.\n'
                   + ERASE_FAILED + 'could not write env for set n=1\n')
    return Run(name, ['-s', 'n', '1'], before, settings=settings,
               flash_after=(obsolete(before[0]), committed(before[1], ['x=1', 'n=1'], erased)),
               flash_requests=[f'erase mtd2 0 {erased}', 'write mtd2 0 8192', 'write mtd1 4 1'])


def failed(step, faults, stderr, flash_after, args=('-s', 'a', '9'), before=(ACTIVE, SPARE)):
    """A commit failing at step; the partitions it leaves (device opens are counted from the
    load's, 1)."""
    return Run(step, list(args), before, faults=faults, status=1, stderr=stderr,
               flash_after=flash_after, flash_requests=None)


WRITE_NEW_FAILED = 'write() failed: Input/output error\nFailed to write new env sector...\n'
WRITE_FLAG_FAILED = 'write() failed: Input/output error\nFailed to write old env flag...\n'
FIRST = envimage.partition(['q=7'], flag=envimage.OBSOLETE, size=2 * PARTITION, fill=b'\xa5')
SECOND = envimage.partition(['a=1'], size=2 * PARTITION, fill=b'\x3c')

CASES = [
    # A commit that writes the active copy, more than the first erase block of the other one
    # (here of 128 KiB partitions) or anything but the old flag, or always the same partition,
    # shows here; so does a partial write that is not continued.
    Run('to copy 1', ['-S', 'b=1', 'a', 'c=2'], (FIRST, SECOND),
        flash_after=(committed(FIRST, ['b=1', 'c=2']), obsolete(SECOND)),
        flash_requests=['erase mtd1 0 65536', 'write mtd1 0 8192', 'write mtd2 4 1']),
    Run('to copy 2', ['-s', 'a', '9'], (ACTIVE, SPARE), flash_after=(obsolete(ACTIVE), NEW),
        flash_requests=TO_COPY2),
    Run('short writes continued', ['-s', 'a', '9'], (ACTIVE, SPARE),
        faults=[Fault('write', 'short-1', device='mtd2', number=1),
                Fault('write', 'short-8190', device='mtd2', number=2)],
        flash_after=(obsolete(ACTIVE), NEW),
        flash_requests=['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd2 1 8191',
                        'write mtd2 8191 1', 'write mtd1 4 1']),
    # An erase that does not cover the image with whole blocks, or one made although those
    # blocks do not fit the partition (or the block size is 0), shows here.
    erase_block(erase_size=4096, partition_size=PARTITION, erased=8192),
    erase_block(erase_size=3072, partition_size=3072 * 8, erased=9216),
    erase_block(erase_size=0, partition_size=PARTITION, erased=None),
    erase_block(erase_size=5000, partition_size=8192, erased=None),
    # A failing step that says the wrong lines, goes on, or touches the old copy shows here.
    failed('open the new device', [Fault('open', 'EACCES', device='mtd2', number=2)],
           'set_uboot_env_var: Could not open env flash device...\n' + SET_FAILED, None),
    failed('region count', [Fault('regioncount', 'EIO')],
           'ubootenv: ioctl() MEMGETREGIONCOUNT failed: Input/output error\n' + ERASE_FAILED
           + SET_FAILED, None),
    Run('erase regions', ['-s', 'a', '9'], (ACTIVE, SPARE), settings={'REGIONS': 2}, status=1,
        stderr='ubootenv: Flash erase failed - region spans sectors.\n' + ERASE_FAILED
        + SET_FAILED),
    failed('device information', [Fault('getinfo', 'ENOTTY')],
           'ubootenv: ioctl() MEMGETINFO failed: Inappropriate ioctl for device\n'
           + ERASE_FAILED + SET_FAILED, None),
    failed('erase', [Fault('erase', 'EIO')], 'ubootenv: ioctl() MEMERASE failed: '
           'Input/output error\n' + ERASE_FAILED + SET_FAILED, None),
    failed('image write', [Fault('write', 'EIO', device='mtd2', number=1)],
           WRITE_NEW_FAILED + SET_FAILED, (ACTIVE, ERASED)),
    failed('image write stops after 100 bytes',
           [Fault('write', 'short-100', device='mtd2', number=1),
            Fault('write', 'short-0', device='mtd2', number=2)],
           WRITE_NEW_FAILED + SET_FAILED, (ACTIVE, NEW[:100] + ERASED[100:])),
    failed('open the old device', [Fault('open', 'EACCES', device='mtd1', number=2)],
           'set_uboot_env_var: Could not open old env flash device...\n' + SET_FAILED,
           (ACTIVE, NEW)),
    failed('flag write', [Fault('write', 'EIO', device='mtd1', number=1)],
           WRITE_FLAG_FAILED + SET_FAILED, (ACTIVE, NEW)),
    failed('flag write of nothing', [Fault('write', 'short-0', device='mtd1', number=1)],
           WRITE_FLAG_FAILED + SET_FAILED, (ACTIVE, NEW)),
    failed('open the new device, -d', [Fault('open', 'EIO', device='mtd2', number=2)],
           'set_uboot_env_var: Could not open env flash device...\n'
           'could not write env for delete a\n', None, args=['-d', 'a']),
    failed('flag write, -S', [Fault('write', 'EIO', device='mtd1', number=1)],
           WRITE_FLAG_FAILED + 'could not save updated environment\n', (ACTIVE, NEW),
           args=['-S', 'a=9']),
    failed('flag write of copy 2', [Fault('write', 'EIO', device='mtd2', number=1)],
           WRITE_FLAG_FAILED + SET_FAILED, (NEW, ACTIVE), before=(SPARE, ACTIVE)),
]


@pytest.mark.parametrize('case', CASES, ids=lambda case: case.name)
def test_commit(case):
    device.check_run(case)
