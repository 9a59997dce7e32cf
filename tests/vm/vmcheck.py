#!/usr/bin/env python3
"""pelvanor on the kernel's MTD drivers (block2mtd, mtdram), run by tools/vm/run-stage:
    vmcheck.py prepare WORK   lays out the flash pairs and the guest's step list
    vmcheck.py check WORK     checks what the guest saved after each step

A model on the host follows each flash pair: after a step both partitions must match it byte
for byte (after a commit: the new image, built with tools/envimage.py, then 0xFF to the end of
the erased blocks; the old copy changed only in its flag byte, now 0), and the kernel must have
seen exactly the expected erase and write requests."""
import dataclasses
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, '../../tools'), os.path.join(HERE, '../../tools/vm')]
import envimage  # noqa: E402
import vmrun  # noqa: E402
from scenario import PROVISIONED, CLEARED, FACTORY_FILES, APPLIED_FILES, APPLIED_LINES  # noqa: E402
from tally import Tally  # noqa: E402

KIB = 1024
BASE = ['bootcmd=run boot_flash', 'bootdelay=3', 'ipaddr=192.168.0.10', 'empty=']
OPEN_COPY1 = 'read_uboot_env: Could not open env flash device...\n'
OPEN_COPY2 = 'read_uboot_env: Could not open env2 flash device...\n'


@dataclasses.dataclass
class Device:
    driver: str  # "b2m": block2mtd over a virtio disk, "ram": mtdram
    erase_size: int
    size: int
    entries: list  # the image seeded at offset 0
    flag: int = envimage.ACTIVE

    def initial(self):
        """The seeded image, then bytes that are never 0xFF, so that erased blocks show."""
        return envimage.partition(self.entries, self.flag, self.size, fill=b'\x3c')


# The flash pairs behind /dev/mtd1 and /dev/mtd2: 64 KiB erase blocks as on the device, 4 KiB
# blocks (two per image; the new copy's device RAM-backed), and 128 KiB blocks, one per image
# with room behind it, where the network settings wait.
PAIRS = {
    'e64': (Device('b2m', 64 * KIB, 128 * KIB, BASE),
            Device('b2m', 64 * KIB, 128 * KIB, ['old=z'], envimage.OBSOLETE)),
    'e4': (Device('b2m', 4 * KIB, 16 * KIB, BASE),
           Device('ram', 4 * KIB, 16 * KIB, ['old=x'], envimage.OBSOLETE)),
    'e128': (Device('b2m', 128 * KIB, 256 * KIB, ['old=y'], envimage.OBSOLETE),
             Device('b2m', 128 * KIB, 256 * KIB, PROVISIONED)),
}


@dataclasses.dataclass
class Step:
    pair: str
    args: list
    status: int = 0
    stdout: str = ''
    stderr: str = ''
    committed: list = None  # the environment a commit writes; None: flash stays as it was
    erased: int = 0  # the bytes a commit erases at the start of the new copy: whole blocks
    nodes: tuple = ('rw', 'rw')  # /dev/mtd1, /dev/mtd2: "rw", "ro" (read-only node), "-" (none)
    files: dict = dataclasses.field(default_factory=lambda: FACTORY_FILES)


STEPS = [
    # A load that misreads what the driver returns shows in the listing and the look-up.
    Step('e64', ['-g'],
         stdout='bootcmd=run boot_flash\nbootdelay=3\nipaddr=192.168.0.10\nempty=\n'),
    Step('e64', ['-g', 'bootdelay'], stdout='3\n'),
    # A commit that erases or writes the wrong device, or leaves the old flag set, shows in the
    # bytes or the requests; the second commit goes back the other way.
    Step('e64', ['-s', 'bootdelay', '5'], erased=64 * KIB,
         committed=['bootcmd=run boot_flash', 'ipaddr=192.168.0.10', 'empty=', 'bootdelay=5']),
    Step('e64', ['-d', 'bootcmd'], erased=64 * KIB,
         committed=['ipaddr=192.168.0.10', 'empty=', 'bootdelay=5']),
    # A copy that cannot be opened read-write (no node, or the kernel's read-only node) must make
    # queries find nothing and edits fail without touching either device.
    Step('e64', ['-g', 'bootdelay'], nodes=('rw', '-'), status=1,
         stderr=OPEN_COPY2 + 'bootdelay not found\n'),
    Step('e64', ['-s', 'k', 'v'], nodes=('-', 'rw'), status=1,
         stderr=OPEN_COPY1 + 'could not set k=v\n'),
    Step('e64', ['-g', 'bootdelay'], nodes=('ro', 'rw'), status=1,
         stderr=OPEN_COPY1 + 'bootdelay not found\n'),
    Step('e64', ['-d', 'bootdelay'], nodes=('rw', 'ro'), status=1,
         stderr=OPEN_COPY2 + 'could not delete bootdelay\n'),
    # An erase of one block where the image needs two shows in the requests.
    Step('e4', ['-s', 'bootdelay', '0'], erased=8 * KIB,
         committed=['bootcmd=run boot_flash', 'ipaddr=192.168.0.10', 'empty=', 'bootdelay=0']),
    # An apply that misses the files or the clearing commit; an erase beyond one 128 KiB block.
    Step('e128', [], stdout=''.join(line + '\n' for line in APPLIED_LINES), committed=CLEARED,
         erased=128 * KIB, files=APPLIED_FILES),
]

# Erase requests and writes on the flash devices in a strace -y log: the call, the device, then
# the erase's start and length or the write's size, then the result.
REQUEST = re.compile(r'^(ioctl|write)\(\d+<(/dev/mtd\d)>, '
                     r'(?:.*MEMERASE, \{start=(\w+), length=(\w+)\}|""\.*, (\d+))\) += (-?\d+)',
                     re.M)


def flash_requests(trace):
    return [(call, device, *(int(number, 0) for number in numbers if number))
            for call, device, *numbers in REQUEST.findall(trace)]


def check(results):
    """Each step starts from what the guest read after the previous one."""
    tally = Tally(show_passes=True)
    flash = {pair: [device.initial() for device in devices] for pair, devices in PAIRS.items()}
    active = {pair: [device.flag for device in devices].index(envimage.ACTIVE)
              for pair, devices in PAIRS.items()}
    for number, step in enumerate(STEPS):
        want_flash, want_requests = list(flash[step.pair]), []
        if step.committed is not None:
            old, new = active[step.pair], 1 - active[step.pair]
            image = envimage.image(step.committed).ljust(step.erased, b'\xff')
            want_flash[new] = image + want_flash[new][step.erased:]
            want_flash[old] = envimage.with_flag(want_flash[old], envimage.OBSOLETE)
            active[step.pair] = new
            want_requests = [('ioctl', f'/dev/mtd{new + 1}', 0, step.erased, 0),
                             ('write', f'/dev/mtd{new + 1}', envimage.IMAGE_SIZE,
                              envimage.IMAGE_SIZE),
                             ('write', f'/dev/mtd{old + 1}', 1, 1)]
        prefix = 's%02d.' % number  # what the guest saved after this step
        saved = {key.removeprefix(prefix): value for key, value in results.items()
                 if key.startswith(prefix)}
        got = {'status': saved.get('rc'), 'stdout': saved.get('out'), 'stderr': saved.get('err'),
               '/dev/mtd1': saved.get('p1'), '/dev/mtd2': saved.get('p2'),
               'flash requests': flash_requests(saved.get('trace', b'').decode()),
               **{path: saved.get(path) for path in step.files}}
        want = {'status': b'%d\n' % step.status, 'stdout': step.stdout.encode(),
                'stderr': step.stderr.encode(), '/dev/mtd1': want_flash[0],
                '/dev/mtd2': want_flash[1], 'flash requests': want_requests, **step.files}
        tally.check('%s mtd1=%s mtd2=%s: pelvanor %s' % (
            step.pair, *step.nodes, ' '.join(step.args)), got, want)
        flash[step.pair] = [saved.get('p1', want_flash[0]), saved.get('p2', want_flash[1])]
    tally.finish()


def prepare(work):
    pairs = {pair: [(device.driver, device.erase_size, device.initial()) for device in devices]
             for pair, devices in PAIRS.items()}
    steps = [('s%02d' % number, step.pair, step.nodes, step.args)
             for number, step in enumerate(STEPS)]
    vmrun.prepare(work, pairs, steps, {path.removeprefix('etc/'): text.decode()
                                       for path, text in FACTORY_FILES.items()})


if __name__ == '__main__':
    command, work = sys.argv[1:3]
    if command == 'prepare':
        prepare(work)
    else:
        check(vmrun.results(work) or {})
