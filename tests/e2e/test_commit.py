"""The commit: the flash work of an edit byte for byte in both directions, the erase for other
erase block sizes, and what each failing step of a commit says and leaves on flash. A commit
must never touch the active copy but for its flag byte, and only after the new copy is whole."""
import dataclasses

import device
import envimage
from tally import Tally

tally = Tally()

PARTITION = envimage.PARTITION_SIZE


def committed(partition, entries, erased=PARTITION):
    """partition after a commit of entries to it: erased bytes erased, the new image active."""
    return envimage.image(entries) + b'\xff' * (erased - envimage.IMAGE_SIZE) + partition[erased:]


def obsolete(partition):
    return envimage.with_flag(partition, envimage.OBSOLETE)


# Each commit moves the active copy to the other partition: it erases the first erase block
# there (on 128 KiB partitions the second block keeps its contents), writes the whole new image
# marked active, then writes a single 0 over the old copy's flag, and nothing else.
FIRST = envimage.partition(['q=7'], flag=envimage.OBSOLETE, size=2 * PARTITION, fill=b'\xa5')
SECOND = envimage.partition(['a=1'], size=2 * PARTITION, fill=b'\x3c')
TO_COPY1 = ['erase mtd1 0 65536', 'write mtd1 0 8192', 'write mtd2 4 1']
TO_COPY2 = ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1']
ONCE = ['b=1', 'c=2', 'd=3', 'e=5']
tally.check('commit from copy 2 to copy 1',
            device.run_on(['-S', 'b=1', 'c=2', 'd=3', 'a', 'e=5'], FIRST, SECOND), {
                'status': 0, 'stdout': '', 'stderr': '', 'mtd1': committed(FIRST, ONCE),
                'mtd2': obsolete(SECOND), 'flash requests': TO_COPY1,
            })
tally.check('and back from copy 1 to copy 2',
            device.run_on(['-s', 'f', '6'], committed(FIRST, ONCE), obsolete(SECOND)), {
                'status': 0, 'stdout': '', 'stderr': '', 'mtd1': obsolete(committed(FIRST, ONCE)),
                'mtd2': committed(obsolete(SECOND), ONCE + ['f=6']),
                'flash requests': TO_COPY2,
            })


# The erase covers the smallest whole number of erase blocks that holds the image; when that
# does not fit the partition (or the block size is 0) the commit is refused before anything is
# erased.
@dataclasses.dataclass
class EraseBlock:
    erase_size: int
    partition_size: int
    erased: int  # None: refused


ERASE_BLOCKS = [
    EraseBlock(erase_size=4096, partition_size=PARTITION, erased=8192),
    EraseBlock(erase_size=3072, partition_size=3072 * 8, erased=9216),
    EraseBlock(erase_size=0, partition_size=PARTITION, erased=None),
    EraseBlock(erase_size=131072, partition_size=PARTITION, erased=None),
    EraseBlock(erase_size=5000, partition_size=8192, erased=None),
]
for block in ERASE_BLOCKS:
    mtd1 = envimage.partition(['x=1'], size=block.partition_size)
    mtd2 = envimage.partition(['x=2'], flag=envimage.OBSOLETE, size=block.partition_size,
                              fill=b'\x11')
    got = device.run_on(['-s', 'n', '1'], mtd1, mtd2, {'ERASESIZE': block.erase_size})
    name = 'erase blocks of %d bytes in %d' % (block.erase_size, block.partition_size)
    if block.erased:
        tally.check(name, got, {
            'status': 0, 'stderr': '', 'mtd1': obsolete(mtd1),
            'mtd2': committed(mtd2, ['x=1', 'n=1'], block.erased),
            'flash requests': ['erase mtd2 0 %d' % block.erased, 'write mtd2 0 8192',
                               'write mtd1 4 1'],
        })
    else:
        tally.check(name, got, {
            'status': 1,
            'stderr': 'ubootenv: Flash erase failed - env does not fit the partition.\n'
                      'mgr: Failed to erase env sector...\n'
                      'could not write env for set n=1\n',
            'mtd1': mtd1, 'mtd2': mtd2, 'flash requests': [],
        })

# A write that programs only part of the image is continued until the whole image is written.
ACTIVE = envimage.partition(['a=1', 'b=2'])
SPARE = envimage.partition(['q=7'], flag=envimage.OBSOLETE, fill=b'\x5a')
NEW = committed(SPARE, ['b=2', 'a=9'])
short_writes = {'SHORT_WRITE': 'mtd2:1:1,mtd2:2:8190'}  # 1 byte, then 8190, then the rest
continued = device.run_on(['-s', 'a', '9'], ACTIVE, SPARE, short_writes)
tally.check('short writes continued', continued, {
    'status': 0, 'stderr': '', 'mtd1': obsolete(ACTIVE), 'mtd2': NEW,
    'flash requests': ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd2 1 8191',
                       'write mtd2 8191 1', 'write mtd1 4 1'],
})


# Each failing step of a commit prints its own lines, then the command's; the old copy keeps
# its data and its flag, so the next load still finds the old environment or, once the new
# image is whole, the new one. Device opens are counted from the load's (1) on.
ERASE_FAILED = 'mgr: Failed to erase env sector...\n'
WRITE_NEW_FAILED = 'write() failed: Input/output error\nFailed to write new env sector...\n'
WRITE_FLAG_FAILED = 'write() failed: Input/output error\nFailed to write old env flag...\n'
SET_FAILED = 'could not write env for set a=9\n'
ERASED = b'\xff' * PARTITION


@dataclasses.dataclass
class FailedStep:
    step: str
    simulator: dict
    stderr: str
    flash_after: tuple  # both partitions
    args: tuple = ('-s', 'a', '9')
    flash_before: tuple = (ACTIVE, SPARE)


FAILED_STEPS = [
    FailedStep('open the new device', {'FAIL_OPEN': 'mtd2:2:EACCES'},
               'set_uboot_env_var: Could not open env flash device...\n' + SET_FAILED,
               (ACTIVE, SPARE)),
    FailedStep('region count', {'FAIL_IOCTL': 'REGIONCOUNT:EIO'},
               'ubootenv: ioctl() MEMGETREGIONCOUNT failed: Input/output error\n'
               + ERASE_FAILED + SET_FAILED, (ACTIVE, SPARE)),
    FailedStep('erase regions', {'REGIONS': 2},
               'ubootenv: Flash erase failed - region spans sectors.\n' + ERASE_FAILED
               + SET_FAILED, (ACTIVE, SPARE)),
    FailedStep('device information', {'FAIL_IOCTL': 'GETINFO:ENOTTY'},
               'ubootenv: ioctl() MEMGETINFO failed: Inappropriate ioctl for device\n'
               + ERASE_FAILED + SET_FAILED, (ACTIVE, SPARE)),
    FailedStep('erase', {'FAIL_IOCTL': 'ERASE:EIO'},
               'ubootenv: ioctl() MEMERASE failed: Input/output error\n' + ERASE_FAILED
               + SET_FAILED, (ACTIVE, SPARE)),
    FailedStep('image write', {'FAIL_WRITE': 'mtd2:1'}, WRITE_NEW_FAILED + SET_FAILED,
               (ACTIVE, ERASED)),
    FailedStep('image write of nothing', {'SHORT_WRITE': 'mtd2:1:0'},
               WRITE_NEW_FAILED + SET_FAILED, (ACTIVE, ERASED)),
    FailedStep('image write stops after 100 bytes', {'SHORT_WRITE': 'mtd2:1:100,mtd2:2:0'},
               WRITE_NEW_FAILED + SET_FAILED, (ACTIVE, NEW[:100] + ERASED[100:])),
    FailedStep('open the old device', {'FAIL_OPEN': 'mtd1:2:EACCES'},
               'set_uboot_env_var: Could not open old env flash device...\n' + SET_FAILED,
               (ACTIVE, NEW)),
    FailedStep('flag write', {'FAIL_WRITE': 'mtd1:1'}, WRITE_FLAG_FAILED + SET_FAILED,
               (ACTIVE, NEW)),
    FailedStep('flag write of nothing', {'SHORT_WRITE': 'mtd1:1:0'},
               WRITE_FLAG_FAILED + SET_FAILED, (ACTIVE, NEW)),
    # the other commands' own lines, and a commit from copy 2 to copy 1
    FailedStep('open the new device, -d', {'FAIL_OPEN': 'mtd2:2:EIO'},
               'set_uboot_env_var: Could not open env flash device...\n'
               'could not write env for delete a\n', (ACTIVE, SPARE), args=('-d', 'a')),
    FailedStep('flag write, -S', {'FAIL_WRITE': 'mtd1:1'},
               WRITE_FLAG_FAILED + 'could not save updated environment\n', (ACTIVE, NEW),
               args=('-S', 'a=9')),
    FailedStep('flag write of copy 2', {'FAIL_WRITE': 'mtd2:1'}, WRITE_FLAG_FAILED + SET_FAILED,
               (NEW, ACTIVE), flash_before=(SPARE, ACTIVE)),
]
for failed in FAILED_STEPS:
    got = device.run_on(list(failed.args), *failed.flash_before, failed.simulator)
    tally.check('commit fails at: %s' % failed.step, {
        'status': got['status'], 'stderr': got['stderr'], 'flash': (got['mtd1'], got['mtd2']),
    }, {
        'status': 1, 'stderr': failed.stderr, 'flash': failed.flash_after,
    })

tally.finish()
