#!/usr/bin/env python3
"""The PowerPC binary on a PowerPC kernel's CFI NOR flash driver, the way the device runs it
(tools/ppcvm/machine.py boots the machine; run by tools/ppcvm/run-stage as
check.py KERNEL BASE-INITRD WORK). Every flash file is built with tools/envimage.py and read back
byte for byte; one artefact of the emulator is allowed for, in qemu_obsolete(), nothing else."""
import collections
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, '../../tools'), os.path.join(HERE, '../../tools/ppcvm')]
import envimage  # noqa: E402
import machine  # noqa: E402
from machine import Cut, Run  # noqa: E402
from tally import Tally  # noqa: E402

ACTIVE, OBSOLETE = envimage.ACTIVE, envimage.OBSOLETE
ERASED = b'\xff' * machine.SECTOR
BASE = ['bootcmd=run boot_flash', 'bootdelay=3', 'ipaddr=192.168.0.10', 'empty=']
OLDER = ['bootdelay=1']  # the obsolete copy, left by an earlier commit
MTD_NOR = 'type 3 size 65536 erasesize 65536 writesize 1'  # type 3: MTD_NORFLASH


def qemu_obsolete(partition):
    """The old copy after a commit cleared its flag, as the emulator leaves it. QEMU's CFI flash
    stores a programmed 16-bit word as written instead of only clearing bits as NOR does. The
    driver programs the 1-byte flag write as the word 0x00FF at offset 4, so byte 5 (the first
    data byte) becomes 0xFF as well and the old copy's checksum fails. Real NOR would leave byte
    5 as it was and the old copy valid; everything else is as on the device."""
    return envimage.with_flag(partition, OBSOLETE)[:5] + b'\xff' + partition[6:]


def flash(env1, env2):
    """The 1 MiB flash: /dev/mtd1 and /dev/mtd2 holding the two environments, and bytes that no
    step of a commit writes behind the images, in the spare sector and in the rest of the chip."""
    return machine.flash_with(*(envimage.partition(*copy, fill=b'\x3c') for copy in (env1, env2)),
                              spare=b'\x5a' * machine.SECTOR, rest=b'\xa5')


def flash_after(before, new_copy, new_partition, old_flag_cleared=True):
    """The flash `before` with new_partition in /dev/mtd<new_copy> and the old copy's flag cleared
    (as the emulator clears it): what a commit leaves; with the flag left, a commit cut short."""
    partitions = list(machine.partitions_of(before))  # /dev/mtd1, /dev/mtd2
    partitions[new_copy - 1] = new_partition
    if old_flag_cleared:
        partitions[2 - new_copy] = qemu_obsolete(partitions[2 - new_copy])
    rest = before[machine.ENV2_OFFSET + machine.SECTOR:]
    return before[:machine.ENV1_OFFSET] + b''.join(partitions) + rest


def listed(entries):
    return Run(status=0, stdout=''.join(entry + '\n' for entry in entries).encode(), stderr=b'')


def run_of(boot, index):
    return boot.run(index) or 'not reported; the console ends ' + repr(boot.console[-300:])


def check_driver_and_queries(vm, tally):
    # Partitions that are not 64 KiB NOR flash (a RAM-backed device overwrites instead of
    # programming) prove nothing about the device; with copy 2 active, a load that misreads the
    # driver's data or picks the wrong copy shows in the output, a query that writes in the flash.
    start = flash((OLDER, OBSOLETE), (BASE, ACTIVE))
    boot = vm.boot(start, [['-g'], ['-g', 'bootdelay']])
    tally.check('the kernel shows /dev/mtd1 and /dev/mtd2 as 64 KiB NOR partitions', boot.mtd,
                {'/dev/mtd1': MTD_NOR, '/dev/mtd2': MTD_NOR})
    tally.check('queries: pelvanor -g, pelvanor -g bootdelay; flash left as it was',
                {'-g': run_of(boot, 0), '-g bootdelay': run_of(boot, 1), 'flash': boot.flash},
                {'-g': listed(BASE), '-g bootdelay': Run(status=0, stdout=b'3\n', stderr=b''),
                 'flash': start})


# new_copy: 1 or 2, the partition that receives the new image; entries: the environment after it.
Commit = collections.namedtuple('Commit', ['args', 'new_copy', 'entries'])


def check_commits(vm, tally):
    # A commit that writes the wrong partition, leaves part of the erase block old, writes a wrong
    # image or flag, or changes anything beyond the old copy's flag shows in the flash; -S must
    # apply its list in order in one commit.
    commits = [
        Commit(args=['-s', 'bootdelay', '5'], new_copy=2,
               entries=['bootcmd=run boot_flash', 'ipaddr=192.168.0.10', 'empty=', 'bootdelay=5']),
        Commit(args=['-S', 'a=1', 'ipaddr', 'c=', 'eq=x=y', 'a=2'], new_copy=1,
               entries=['bootcmd=run boot_flash', 'empty=', 'bootdelay=5', 'c=', 'eq=x=y', 'a=2']),
    ]
    before = flash((BASE, ACTIVE), (OLDER, OBSOLETE))
    for commit in commits:
        boot = vm.boot(before, [commit.args, ['-g']])
        tally.check(f"commit to /dev/mtd{commit.new_copy}: pelvanor {' '.join(commit.args)}",
                    {'edit': run_of(boot, 0), '-g after it': run_of(boot, 1), 'flash': boot.flash},
                    {'edit': Run(status=0, stdout=b'', stderr=b''),
                     '-g after it': listed(commit.entries),
                     'flash': flash_after(before, commit.new_copy,
                                          envimage.partition(commit.entries))})
        before = boot.flash


def check_failing_edit(vm, tally):
    # An edit without room that still erased or wrote something, even the part of a -S list
    # before the failure, would cost the environment its second copy.
    too_long = 'v' * 8120  # BASE leaves room for a value of 8119 bytes under "big"
    start = flash((BASE, ACTIVE), (OLDER, OBSOLETE))
    boot = vm.boot(start, [['-S', 'a=1', 'big=' + too_long]])
    tally.check(f'failing edit: pelvanor -S a=1 big=... ({len(too_long)}-byte value), flash kept',
                {'edit': run_of(boot, 0), 'flash': boot.flash},
                {'edit': Run(status=1, stdout=b'',
                             stderr=f'could not set big={too_long}\n'.encode()), 'flash': start})


# The power cuts. The environments fill all four 2048-byte buffers in which the driver programs
# an image, so every buffer written leaves a state of its own on the flash.
BLOB = 'blob=' + 'x' * 8000
CUT_OLD = BASE + [BLOB]
CUT_EDIT = ['-s', 'bootdelay', '5']
CUT_NEW = ['bootcmd=run boot_flash', 'ipaddr=192.168.0.10', 'empty=', BLOB, 'bootdelay=5']

# The flash file is written once per flash operation of a commit: 1 the erase, 2 to 5 the four
# buffers of the image, 6 the old copy's flag. A cut after write N (N > 0) lands before write
# N + 1, which the emulator's pacing holds back for 0.1 s after the erase and 0.2 s after a
# buffer; cuts counted from the tool's start land before the erase or during it.
CUTS = [Cut(after_writes=writes, delay=seconds) for writes, seconds in [
    (0, 0.0), (0, 0.02), (0, 0.04), (1, 0.0), (1, 0.05), (2, 0.0), (2, 0.1), (3, 0.0), (3, 0.1),
    (4, 0.0), (4, 0.1), (5, 0.0), (5, 0.04), (5, 0.08), (5, 0.12)]]
PHASES = ('before the erase', 'erase', 'image write', 'flag write', 'after the commit')


def phase_of(left, before, new_copy):
    """Where a cut landed, from the flash it left: (phase, detail)."""
    new_now = machine.partitions_of(left)[new_copy - 1]
    new_done = envimage.partition(CUT_NEW)
    written = len(new_now.rstrip(b'\xff'))
    if left == before:
        return 'before the erase', 'flash untouched'
    if left == flash_after(before, new_copy, new_done):
        return 'after the commit', 'old flag cleared'
    if left != flash_after(before, new_copy, new_now, old_flag_cleared=False):
        return 'no state of a commit', 'flash changed beyond the new copy before it was complete'
    if new_now == ERASED:
        return 'erase', 'sector erased, nothing written'
    if new_now == new_done:
        return 'flag write', 'image complete, old flag still set'
    if new_now == new_done[:written] + ERASED[written:]:
        return 'image write', f'{written} of {envimage.IMAGE_SIZE} bytes written'
    return 'no state of a commit', 'unexpected contents of the new partition'


def check_power_cuts(vm, tally):
    # A commit whose order lets a power cut leave no complete environment (erasing or overwriting
    # the active copy, marking the new copy active before it is complete, clearing the old flag
    # too early) shows as a state no step of a commit leaves, or as a load after the cut that
    # lists neither the old nor the new environment: the old one until the new image is
    # complete; with both flags set, copy 1 (the new one when it went to /dev/mtd1).
    landed = collections.Counter()
    for new_copy in (2, 1):
        old, obsolete = (CUT_OLD, ACTIVE), (OLDER, OBSOLETE)
        before = flash(old, obsolete) if new_copy == 2 else flash(obsolete, old)
        for cut in CUTS:
            left = vm.boot(before, [CUT_EDIT], cut=cut).flash
            phase, detail = phase_of(left, before, new_copy)
            landed[phase] += 1
            new_listed = phase == 'after the commit' or (phase == 'flag write' and new_copy == 1)
            tally.check(f'cut {cut.delay:.2f} s after {cut.after_writes} flash writes of a commit '
                        f'to /dev/mtd{new_copy}: {phase} ({detail}); -g lists the '
                        f"{'new' if new_listed else 'old'} environment",
                        {'state of a commit': phase in PHASES,
                         '-g': run_of(vm.boot(left, [['-g']]), 0)},
                        {'state of a commit': True,
                         '-g': listed(CUT_NEW if new_listed else CUT_OLD)})
    # Cuts that never reach the erase, a partial image or the moment between image and flag
    # would leave the order of the commit untested.
    summary = ', '.join(f'{phase}: {landed[phase]}' for phase in PHASES)
    tally.check(f'{len(CUTS) * 2} cuts landed in every phase of a commit ({summary})',
                {phase: landed[phase] > 0 for phase in PHASES[1:4]},
                dict.fromkeys(PHASES[1:4], True))


def main():
    kernel, base_initrd, work = sys.argv[1:4]
    vm = machine.Machine(kernel, base_initrd, work)
    tally = Tally(show_passes=True)
    for group in (check_driver_and_queries, check_commits, check_failing_edit, check_power_cuts):
        group(vm, tally)
    tally.finish()


if __name__ == '__main__':
    main()
