"""The commit: its flash work byte for byte, its erase, and each failing step."""
import dataclasses

import pytest

import device
import envimage
from device import Fault, Result

PARTITION = envimage.PARTITION_SIZE
TO_COPY1 = ['erase mtd1 0 65536', 'write mtd1 0 8192', 'write mtd2 4 1']
TO_COPY2 = ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1']


def committed(partition, entries, erased=PARTITION):
    """partition after a commit of entries to it: erased bytes erased, the new image active."""
    return envimage.image(entries) + b'\xff' * (erased - envimage.IMAGE_SIZE) + partition[erased:]


def obsolete(partition):
    return envimage.with_flag(partition, envimage.OBSOLETE)


# A commit that writes the active copy, more than the first erase block of the other one (here
# of 128 KiB partitions) or anything but the old flag, or always the same partition, shows here.
def test_commits_alternate_between_the_partitions():
    first = envimage.partition(['q=7'], flag=envimage.OBSOLETE, size=2 * PARTITION, fill=b'\xa5')
    second = envimage.partition(['a=1'], size=2 * PARTITION, fill=b'\x3c')
    entries = ['b=1', 'c=2', 'd=3', 'e=5']
    assert device.run_on(['-S', 'b=1', 'c=2', 'd=3', 'a', 'e=5'], first, second) == Result(
        0, '', '', committed(first, entries), obsolete(second), TO_COPY1)
    assert device.run(['-s', 'f', '6']) == Result(
        0, '', '', obsolete(committed(first, entries)),
        committed(obsolete(second), entries + ['f=6']), TO_COPY2)


# An erase that does not cover the image with whole blocks, or one made although those blocks
# do not fit the partition (or the block size is 0), shows here.
@dataclasses.dataclass
class EraseBlock:
    erase_size: int
    partition_size: int
    erased: int  # None: refused


@pytest.mark.parametrize('block', [
    EraseBlock(erase_size=4096, partition_size=PARTITION, erased=8192),
    EraseBlock(erase_size=3072, partition_size=3072 * 8, erased=9216),
    EraseBlock(erase_size=0, partition_size=PARTITION, erased=None),
    EraseBlock(erase_size=5000, partition_size=8192, erased=None),
], ids=str)
def test_erase_blocks(block):
    mtd1 = envimage.partition(['x=1'], size=block.partition_size)
    mtd2 = envimage.partition(['x=2'], flag=envimage.OBSOLETE, size=block.partition_size,
                              fill=b'\x11')
    got = device.run_on(['-s', 'n', '1'], mtd1, mtd2, flash={'ERASESIZE': block.erase_size})
    if block.erased:
        assert got == Result(0, '', '', obsolete(mtd1),
                             committed(mtd2, ['x=1', 'n=1'], block.erased),
                             [f'erase mtd2 0 {block.erased}', 'write mtd2 0 8192',
                              'write mtd1 4 1'])
    else:
        assert got == Result(1, '', 'ubootenv: Flash erase failed - env does not fit the '
                             'partition.\nmgr: Failed to erase env sector...\n'
                             'could not write env for set n=1\n', mtd1, mtd2, [])


# A failing step that says the wrong lines, goes on, or touches the old copy shows here (device
# opens are counted from the load's, 1); so does a partial write that is not continued.
ACTIVE = envimage.partition(['a=1', 'b=2'])
SPARE = envimage.partition(['q=7'], flag=envimage.OBSOLETE, fill=b'\x5a')
NEW = committed(SPARE, ['b=2', 'a=9'])
ERASED = b'\xff' * PARTITION
ERASE_FAILED = 'mgr: Failed to erase env sector...\n'
WRITE_NEW_FAILED = 'write() failed: Input/output error\nFailed to write new env sector...\n'
WRITE_FLAG_FAILED = 'write() failed: Input/output error\nFailed to write old env flag...\n'
SET_FAILED = 'could not write env for set a=9\n'


def test_short_writes_continued():
    short_writes = [Fault('write', 'short-1', device='mtd2', number=1),
                    Fault('write', 'short-8190', device='mtd2', number=2)]
    assert device.run_on(['-s', 'a', '9'], ACTIVE, SPARE, faults=short_writes) == Result(
        0, '', '', obsolete(ACTIVE), NEW,
        ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd2 1 8191', 'write mtd2 8191 1',
         'write mtd1 4 1'])


@dataclasses.dataclass
class FailedStep:
    step: str
    faults: list
    stderr: str
    flash_after: tuple  # both partitions
    args: tuple = ('-s', 'a', '9')
    flash_before: tuple = (ACTIVE, SPARE)
    flash: dict = None  # other simulator settings


@pytest.mark.parametrize('failed', [
    FailedStep('open the new device', [Fault('open', 'EACCES', device='mtd2', number=2)],
               'set_uboot_env_var: Could not open env flash device...\n' + SET_FAILED,
               (ACTIVE, SPARE)),
    FailedStep('region count', [Fault('regioncount', 'EIO')],
               'ubootenv: ioctl() MEMGETREGIONCOUNT failed: Input/output error\n'
               + ERASE_FAILED + SET_FAILED, (ACTIVE, SPARE)),
    FailedStep('erase regions', [], 'ubootenv: Flash erase failed - region spans sectors.\n'
               + ERASE_FAILED + SET_FAILED, (ACTIVE, SPARE), flash={'REGIONS': 2}),
    FailedStep('device information', [Fault('getinfo', 'ENOTTY')],
               'ubootenv: ioctl() MEMGETINFO failed: Inappropriate ioctl for device\n'
               + ERASE_FAILED + SET_FAILED, (ACTIVE, SPARE)),
    FailedStep('erase', [Fault('erase', 'EIO')],
               'ubootenv: ioctl() MEMERASE failed: Input/output error\n' + ERASE_FAILED
               + SET_FAILED, (ACTIVE, SPARE)),
    FailedStep('image write', [Fault('write', 'EIO', device='mtd2', number=1)],
               WRITE_NEW_FAILED + SET_FAILED, (ACTIVE, ERASED)),
    FailedStep('image write stops after 100 bytes',
               [Fault('write', 'short-100', device='mtd2', number=1),
                Fault('write', 'short-0', device='mtd2', number=2)],
               WRITE_NEW_FAILED + SET_FAILED, (ACTIVE, NEW[:100] + ERASED[100:])),
    FailedStep('open the old device', [Fault('open', 'EACCES', device='mtd1', number=2)],
               'set_uboot_env_var: Could not open old env flash device...\n' + SET_FAILED,
               (ACTIVE, NEW)),
    FailedStep('flag write', [Fault('write', 'EIO', device='mtd1', number=1)],
               WRITE_FLAG_FAILED + SET_FAILED, (ACTIVE, NEW)),
    FailedStep('flag write of nothing', [Fault('write', 'short-0', device='mtd1', number=1)],
               WRITE_FLAG_FAILED + SET_FAILED, (ACTIVE, NEW)),
    FailedStep('open the new device, -d', [Fault('open', 'EIO', device='mtd2', number=2)],
               'set_uboot_env_var: Could not open env flash device...\n'
               'could not write env for delete a\n', (ACTIVE, SPARE), args=('-d', 'a')),
    FailedStep('flag write, -S', [Fault('write', 'EIO', device='mtd1', number=1)],
               WRITE_FLAG_FAILED + 'could not save updated environment\n', (ACTIVE, NEW),
               args=('-S', 'a=9')),
    FailedStep('flag write of copy 2', [Fault('write', 'EIO', device='mtd2', number=1)],
               WRITE_FLAG_FAILED + SET_FAILED, (NEW, ACTIVE), flash_before=(SPARE, ACTIVE)),
], ids=lambda failed: failed.step)
def test_failed_step(failed):
    got = device.run_on(list(failed.args), *failed.flash_before, faults=failed.faults,
                        flash=failed.flash)
    assert (got.status, got.stderr, (got.mtd1, got.mtd2)) == (1, failed.stderr,
                                                              failed.flash_after)
