"""The PowerPC binary named by $PELVANOR_PPC on a PowerPC kernel's CFI NOR flash driver under
qemu-system-ppc (tools/ppcvm/machine.py; work files in $PELVANOR_PPCVM_WORK, else a temporary
directory), with real power cuts. Every flash file is built with tools/envimage.py and read back
byte for byte; one artefact of the emulator is allowed for, in qemu_obsolete(), nothing else."""
import os
import sys

import pytest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tools')
sys.path[:0] = [TOOLS, os.path.join(TOOLS, 'ppcvm')]
import envimage  # noqa: E402
import machine  # noqa: E402
from machine import Cut, Run  # noqa: E402

ACTIVE, OBSOLETE = envimage.ACTIVE, envimage.OBSOLETE
BASE = ['bootcmd=run boot_flash', 'bootdelay=3', 'ipaddr=192.168.0.10', 'empty=']
OLDER = ['bootdelay=1']  # the obsolete copy, left by an earlier commit
MTD_NOR = 'type 3 size 65536 erasesize 65536 writesize 1'  # type 3: MTD_NORFLASH
# Bytes that no step of a commit writes: the spare sector and the rest of the chip (and in
# flash(), 0x3c behind each image).
BACKGROUND = b'\x5a' * machine.SECTOR + b'\xa5' * (machine.FLASH_SIZE - machine.SECTOR)


@pytest.fixture(scope='session')
def board(tmp_path_factory):
    if not os.environ.get('PELVANOR_PPC'):
        pytest.skip('PELVANOR_PPC does not name the PowerPC pelvanor to test')
    work = os.environ.get('PELVANOR_PPCVM_WORK') or str(tmp_path_factory.mktemp('ppcvm'))
    return machine.Machine(os.environ['PELVANOR_PPC'], work)


def qemu_obsolete(partition):
    """The old copy after a commit cleared its flag, as the emulator leaves it. The driver
    programs the 1-byte flag write as the 16-bit word 0x00FF at offset 4, and QEMU's CFI flash
    stores the word as written instead of only clearing bits as NOR does: byte 5 (the first data
    byte) becomes 0xFF and the old copy's checksum fails. Real NOR would leave byte 5 as it was
    and the old copy valid; everything else is as on the device."""
    return envimage.with_flag(partition, OBSOLETE)[:5] + b'\xff' + partition[6:]


def flash(env1, env2):
    """The flash with /dev/mtd1 and /dev/mtd2 holding env1 and env2, each (entries, flag)."""
    return machine.with_partitions(
        BACKGROUND, *(envimage.partition(*copy, fill=b'\x3c') for copy in (env1, env2)))


def flash_after(before, new_copy, new_partition, old_flag_cleared=True):
    """The flash `before` with new_partition in /dev/mtd<new_copy> and the old copy's flag cleared
    (as the emulator clears it): what a commit leaves; with the flag left, a commit cut short."""
    partitions = list(machine.partitions_of(before))  # /dev/mtd1, /dev/mtd2
    partitions[new_copy - 1] = new_partition
    if old_flag_cleared:
        partitions[2 - new_copy] = qemu_obsolete(partitions[2 - new_copy])
    return machine.with_partitions(before, *partitions)


def listed(entries):
    return Run(status=0, stdout=''.join(entry + '\n' for entry in entries).encode(), stderr=b'')


# Partitions that are not 64 KiB NOR flash (a RAM-backed device overwrites instead of
# programming) would prove nothing about the device; with copy 2 active, a load that misreads
# the driver's data or picks the wrong copy shows in the output, a query that writes in the flash.
def test_queries_on_nor_partitions_leave_the_flash(board):
    start = flash((OLDER, OBSOLETE), (BASE, ACTIVE))
    boot = board.boot(start, runs=[['-g'], ['-g', 'bootdelay']])
    assert boot.mtd == {'/dev/mtd1': MTD_NOR, '/dev/mtd2': MTD_NOR}
    assert boot.runs == [listed(BASE), Run(status=0, stdout=b'3\n', stderr=b'')]
    assert boot.flash == start


COPY1_ACTIVE = flash((BASE, ACTIVE), (OLDER, OBSOLETE))
SET = ['bootcmd=run boot_flash', 'ipaddr=192.168.0.10', 'empty=', 'bootdelay=5']


# A commit that writes the wrong partition, leaves part of the erase block old, writes a wrong
# image or flag through the driver, or changes anything beyond the old copy's flag shows in the
# flash (the cuts below stop before the flag; the edits' other rules are the end-to-end suites').
def test_commit(board):
    boot = board.boot(COPY1_ACTIVE, runs=[['-s', 'bootdelay', '5'], ['-g']])
    assert boot.runs == [Run(status=0, stdout=b'', stderr=b''), listed(SET)]
    assert boot.flash == flash_after(COPY1_ACTIVE, 2, envimage.partition(SET))


# The power cuts. The environments fill all four 2048-byte buffers in which the driver programs
# an image, so every buffer written leaves a state of its own on the flash.
BLOB = 'blob=' + 'x' * 8000
CUT_OLD = BASE + [BLOB]
CUT_NEW = ['bootcmd=run boot_flash', 'ipaddr=192.168.0.10', 'empty=', BLOB, 'bootdelay=5']
CUT_BEFORE = {2: flash((CUT_OLD, ACTIVE), (OLDER, OBSOLETE)),  # by the copy the commit writes
              1: flash((OLDER, OBSOLETE), (CUT_OLD, ACTIVE))}
PHASES = ('after the erase', 'during the image write', 'between image and flag',
          'after the commit')
LANDED = {2: {}, 1: {}}  # by the copy the commit writes: the phase each cut landed in

# The flash file is written once per flash operation of a commit: 1 the erase, 2 to 5 the four
# buffers of the image, 6 the old copy's flag. A cut after write N lands before write N + 1,
# which the emulator's pacing holds back for 0.1 s after the erase and 0.2 s after a buffer.
DELAYS_AFTER_WRITES = {1: [0.0, 0.02, 0.04, 0.06], 2: [0.0, 0.05, 0.1], 3: [0.0, 0.1],
                       4: [0.0, 0.1], 5: [0.0, 0.04, 0.08, 0.12]}
CUTS = [pytest.param(Cut(after_writes=writes, delay=delay),
                     id=f'cut-after-{writes}-writes-{delay:.2f}s')
        for writes, delays in DELAYS_AFTER_WRITES.items() for delay in delays]


def phase_of(left, before, new_copy):
    """Where a cut landed, from the flash it left."""
    new_now = machine.partitions_of(left)[new_copy - 1]
    new_done = envimage.partition(CUT_NEW)
    written = len(new_now.rstrip(b'\xff'))
    if left == flash_after(before, new_copy, new_done):
        return 'after the commit'
    if (left != flash_after(before, new_copy, new_now, old_flag_cleared=False)
            or new_now[:written] != new_done[:written]):
        return 'no state of a commit'
    if written == 0:
        return 'after the erase'
    return 'between image and flag' if new_now == new_done else 'during the image write'


# A commit whose order lets a power cut leave no complete environment (erasing or overwriting
# the active copy, marking the new copy active before it is whole, clearing the old flag too
# early) leaves a state no step of a commit leaves, or a boot that lists the wrong environment:
# the old one is due until the new image is whole, then, with both flags set, copy 1's.
@pytest.mark.parametrize('new_copy', [2, 1], ids=['to-mtd2', 'to-mtd1'])
@pytest.mark.parametrize('cut', CUTS)
def test_power_cut(board, cut, new_copy):
    before = CUT_BEFORE[new_copy]
    left = board.boot(before, runs=[['-s', 'bootdelay', '5']], cut=cut).flash
    phase = LANDED[new_copy][cut] = phase_of(left, before, new_copy)
    assert phase in PHASES
    new_wins = phase == 'after the commit' or (phase == 'between image and flag' and new_copy == 1)
    assert board.boot(left, runs=[['-g']]).runs == [listed(CUT_NEW if new_wins else CUT_OLD)]


# Cuts that never reach the erase, a partial image or the moment between image and flag would
# leave the order of the commit untested.
@pytest.mark.parametrize('new_copy', [2, 1], ids=['to-mtd2', 'to-mtd1'])
def test_cuts_landed_in_every_phase(new_copy):
    landed = LANDED[new_copy]
    if len(landed) < len(CUTS):
        pytest.skip(f'needs all {len(CUTS)} cuts to mtd{new_copy}; {len(landed)} ran')
    assert set(PHASES[:3]) <= set(landed.values())
