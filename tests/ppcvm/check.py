#!/usr/bin/env python3
"""The PowerPC binary on a PowerPC kernel's CFI NOR flash driver, the way the
device runs it (tools/ppcvm/machine.py boots the machine; run by
tools/ppcvm/run-stage as: check.py KERNEL BASE-INITRD WORK).

Every flash file is built, and every result read back, with tools/envimage.py
and compared byte for byte. One artefact of the emulator is allowed for, in
qemu_obsolete() below; nothing else.

Prints one line per check and closes with "N passed, M failed"."""
import collections
import os
import sys
import time
from dataclasses import dataclass

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../tools'))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../tools/ppcvm'))
import envimage  # noqa: E402
import machine  # noqa: E402
from machine import Cut  # noqa: E402

SECTOR = machine.SECTOR
ERASED = b'\xff' * SECTOR
# Bytes that no flash operation of a commit produces, in the places that a
# commit must leave alone: the spare sector, the rest of the chip, and the
# partition behind each seeded image (which an erase turns into 0xFF).
SPARE = b'\x5a' * SECTOR
REST = b'\xa5'
BEHIND_IMAGE = b'\x3c'

BASE = ['bootcmd=run boot_flash', 'bootdelay=3', 'ipaddr=192.168.0.10', 'empty=']
OLDER = ['bootdelay=1']  # the obsolete copy, left by an earlier commit
MTD_NOR = 'type 3 size 65536 erasesize 65536 writesize 1'  # type 3: MTD_NORFLASH


def qemu_obsolete(partition):
    """The old copy after a commit cleared its flag, as the emulator leaves it.
    QEMU's CFI flash stores a programmed 16-bit word as written instead of
    only clearing bits as NOR does. The driver programs the 1-byte flag write
    as the word 0x00FF at offset 4, so byte 5 (the first data byte) becomes
    0xFF as well and the old copy's checksum fails. Real NOR would leave byte
    5 as it was and the old copy valid; everything else is as on the device."""
    return envimage.with_flag(partition, envimage.OBSOLETE)[:5] + b'\xff' + partition[6:]


def seeded(entries, flag):
    return envimage.partition(entries, flag, fill=BEHIND_IMAGE)


def flash(env1, env2):
    return machine.flash_with(env1, env2, spare=SPARE, rest=REST)


def listing(entries):
    return ''.join(entry + '\n' for entry in entries).encode()


def first_difference(got, want):
    at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return f'from byte {at:#x}: {got[at:at + 16].hex()}, expected {want[at:at + 16].hex()}'


class Report:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, name, problems):
        print(f"{'FAIL' if problems else 'ok  '} {name}")
        for problem in problems:
            print(f'     {problem}')
        if problems:
            self.failed += 1
        else:
            self.passed += 1

    def close(self):
        print(f'{self.passed} passed, {self.failed} failed')
        return 1 if self.failed else 0


@dataclass
class Query:
    args: list
    status: int
    stdout: bytes
    stderr: bytes


def run_problems(boot, index, want):
    run = boot.run(index)
    if run is None:
        return [f'run {index} did not report; the console ends: {boot.console[-300:]!r}']
    got = (run.status, run.stdout, run.stderr)
    expected = (want.status, want.stdout, want.stderr)
    if got == expected:
        return []
    return [f'status, stdout, stderr {got!r:.300}, expected {expected!r:.300}']


def flash_problems(got, want):
    return [] if got == want else ['flash ' + first_difference(got, want)]


def check_driver_and_queries(vm, report):
    # Partitions that were not NOR flash with 64 KiB erase blocks (a RAM-backed
    # MTD device overwrites instead of programming) would make the stage prove
    # nothing about the device.
    start = flash(seeded(OLDER, envimage.OBSOLETE), seeded(BASE, envimage.ACTIVE))
    queries = [
        Query(args=['-g'], status=0, stdout=listing(BASE), stderr=b''),
        Query(args=['-g', 'bootdelay'], status=0, stdout=b'3\n', stderr=b''),
        Query(args=['-g', 'empty'], status=0, stdout=b'\n', stderr=b''),
        Query(args=['-g', 'ip'], status=1, stdout=b'', stderr=b'ip not found\n'),
    ]
    boot = vm.boot(start, [query.args for query in queries])
    report.check('the kernel shows /dev/mtd1 and /dev/mtd2 as 64 KiB NOR partitions',
                 [] if boot.mtd == {'/dev/mtd1': MTD_NOR, '/dev/mtd2': MTD_NOR}
                 else [f'driver reported {boot.mtd}'])
    # Copy 2 is active: a load that misreads the driver's data (byte order,
    # short reads, the choice of the active copy) shows as wrong output, and a
    # query that writes shows as changed flash.
    for index, query in enumerate(queries):
        report.check(f"query: pelvanor {' '.join(query.args)}",
                     run_problems(boot, index, query))
    report.check('queries leave every flash byte as it was', flash_problems(boot.flash, start))


@dataclass
class Commit:
    args: list
    entries: list   # the environment after the commit
    new_copy: int   # 1 or 2: the partition that receives the new image


def check_commits(vm, report):
    # A commit that writes the wrong partition, leaves part of the erase block
    # old, writes a wrong image or flag, or changes anything beyond the old
    # copy's flag shows as a byte difference; each commit must move the active
    # copy to the other partition.
    commits = [
        Commit(args=['-s', 'bootdelay', '5'], new_copy=2,
               entries=['bootcmd=run boot_flash', 'ipaddr=192.168.0.10', 'empty=',
                        'bootdelay=5']),
        Commit(args=['-d', 'bootcmd'], new_copy=1,
               entries=['ipaddr=192.168.0.10', 'empty=', 'bootdelay=5']),
        Commit(args=['-S', 'a=1', 'ipaddr', 'c=', 'eq=x=y', 'a=2'], new_copy=2,
               entries=['empty=', 'bootdelay=5', 'c=', 'eq=x=y', 'a=2']),
    ]
    before = flash(seeded(BASE, envimage.ACTIVE), seeded(OLDER, envimage.OBSOLETE))
    for commit in commits:
        boot = vm.boot(before, [commit.args, ['-g']])
        old_offset = machine.ENV1_OFFSET if commit.new_copy == 2 else machine.ENV2_OFFSET
        new_offset = machine.ENV2_OFFSET if commit.new_copy == 2 else machine.ENV1_OFFSET
        want = bytearray(before)
        want[new_offset:new_offset + SECTOR] = envimage.partition(commit.entries)
        want[old_offset:old_offset + SECTOR] = qemu_obsolete(before[old_offset:old_offset + SECTOR])
        problems = run_problems(boot, 0, Query(commit.args, status=0, stdout=b'', stderr=b''))
        problems += run_problems(boot, 1, Query(['-g'], status=0, stdout=listing(commit.entries),
                                                stderr=b''))
        problems += flash_problems(boot.flash, bytes(want))
        report.check(f"commit to /dev/mtd{commit.new_copy}: pelvanor {' '.join(commit.args)}",
                     problems)
        before = boot.flash


def check_failing_edits(vm, report):
    # An edit without room that still erased or wrote something would cost
    # the environment its second copy: it must fail and leave every flash
    # byte as it was. BASE leaves room for a value of 8119 bytes under "big".
    too_long = 'v' * 8120
    start = flash(seeded(BASE, envimage.ACTIVE), seeded(OLDER, envimage.OBSOLETE))
    edits = [
        Query(args=['-s', 'big', too_long], status=1, stdout=b'',
              stderr=f'could not set big={too_long}\n'.encode()),
        Query(args=['-S', 'a=1', 'big=' + too_long], status=1, stdout=b'',
              stderr=f'could not set big={too_long}\n'.encode()),
    ]
    for edit in edits:
        boot = vm.boot(start, [edit.args])
        problems = run_problems(boot, 0, edit)
        report.check(f"failing edit leaves flash untouched: pelvanor {edit.args[0]} "
                     f"{edit.args[1]} ... ({len(too_long)}-byte value)",
                     problems + flash_problems(boot.flash, start))


# The power cuts. The environments fill all four 2048-byte buffers in which
# the driver programs an image, so every buffer written leaves a state of its
# own on the flash.
BLOB = 'blob=' + 'x' * 8000
CUT_OLD = BASE + [BLOB]
CUT_EDIT = ['-s', 'bootdelay', '5']
CUT_NEW = ['bootcmd=run boot_flash', 'ipaddr=192.168.0.10', 'empty=', BLOB, 'bootdelay=5']

# The flash file is written once per flash operation of a commit: 1 the erase,
# 2 to 5 the four buffers of the image, 6 the old copy's flag. A cut after
# write N (N > 0) lands before write N + 1, which the emulator's pacing holds
# back for 0.1 s after the erase and 0.2 s after a buffer; cuts counted from
# the tool's start land before the erase or during it, as the tool's speed
# allows.
CUTS = [Cut(after_writes=0, delay=seconds) for seconds in (0.0, 0.02, 0.04)] + [
    Cut(after_writes=1, delay=0.0), Cut(after_writes=1, delay=0.05),
    Cut(after_writes=2, delay=0.0), Cut(after_writes=2, delay=0.1),
    Cut(after_writes=3, delay=0.0), Cut(after_writes=3, delay=0.1),
    Cut(after_writes=4, delay=0.0), Cut(after_writes=4, delay=0.1),
] + [Cut(after_writes=5, delay=seconds) for seconds in (0.0, 0.04, 0.08, 0.12)]
PHASES = ('before the erase', 'erase', 'image write', 'flag write', 'after the commit')


def phase_of(left, before, new_copy):
    """Where the cut landed, from the flash it left: (phase, detail)."""
    old_before, new_before = ordered(machine.partitions_of(before), new_copy)
    old_now, new_now = ordered(machine.partitions_of(left), new_copy)
    new_done = envimage.partition(CUT_NEW)
    if (old_now, new_now) == (old_before, new_before):
        return 'before the erase', 'flash untouched'
    if (old_now, new_now) == (qemu_obsolete(old_before), new_done):
        return 'after the commit', 'old flag cleared'
    if old_now != old_before:
        return None, 'the old copy changed before the new one was complete'
    if new_now == ERASED:
        return 'erase', 'sector erased, nothing written'
    if new_now == new_done:
        return 'flag write', 'image complete, old flag still set'
    written = len(new_now.rstrip(b'\xff'))
    if new_now == new_done[:written] + ERASED[written:]:
        return 'image write', f'{written} of {envimage.IMAGE_SIZE} bytes written'
    return None, 'unexpected contents of the new partition'


def ordered(partitions, new_copy):
    """(old, new) partitions of a commit to /dev/mtd<new_copy>."""
    return (partitions[0], partitions[1]) if new_copy == 2 else (partitions[1], partitions[0])


def listed_after_cut(phase, new_copy):
    """The environment a load must find after a cut in `phase`: the old one
    until the new image is complete and the old flag cleared; with the image
    complete and both flags set, copy 1 (the new one when it went to mtd1)."""
    if phase == 'after the commit' or (phase == 'flag write' and new_copy == 1):
        return CUT_NEW
    return CUT_OLD


def check_power_cuts(vm, report):
    # A commit whose order lets a power cut leave no complete environment
    # (erasing or overwriting the active copy, marking the new copy active
    # before it is complete, clearing the old flag too early) shows as a load
    # after the cut that lists neither the old nor the new environment.
    landed = collections.Counter()
    for new_copy in (2, 1):
        old_image = seeded(CUT_OLD, envimage.ACTIVE)
        obsolete = seeded(OLDER, envimage.OBSOLETE)
        before = flash(old_image, obsolete) if new_copy == 2 else flash(obsolete, old_image)
        for cut in CUTS:
            cut_boot = vm.boot(before, [CUT_EDIT], cut=cut)
            phase, detail = phase_of(cut_boot.flash, before, new_copy)
            expected = listed_after_cut(phase, new_copy)
            which = 'new' if expected is CUT_NEW else 'old'
            landed[phase, which] += 1
            problems = []
            if phase is None:
                problems.append('the flash shows a state that no step of a commit leaves')
            after = vm.boot(cut_boot.flash, [['-g']])
            problems += run_problems(after, 0, Query(['-g'], status=0, stdout=listing(expected),
                                                     stderr=b''))
            report.check(f'cut {cut.delay:.2f} s after {cut.after_writes} flash writes of a commit '
                         f'to /dev/mtd{new_copy}: {phase or "unknown state"} ({detail}); '
                         f'-g lists the {which} environment', problems)
    counts = ', '.join(f'{phase}: {landed[phase, "old"]} old, {landed[phase, "new"]} new'
                       for phase in PHASES)
    # Cuts that never reach the erase, a partial image or the moment between
    # image and flag would leave the order of the commit untested.
    report.check(f'{len(CUTS) * 2} cuts landed in every phase of a commit ({counts})',
                 [f'no cut landed in: {phase}' for phase in ('erase', 'image write', 'flag write')
                  if not landed[phase, 'old'] + landed[phase, 'new']])


def main():
    kernel, base_initrd, work = sys.argv[1:4]
    vm = machine.Machine(kernel, base_initrd, work)
    report = Report()
    for group in (check_driver_and_queries, check_commits, check_failing_edits,
                  check_power_cuts):
        started = time.monotonic()
        group(vm, report)
        print(f'     ({group.__name__}: {time.monotonic() - started:.1f} s)')
    return report.close()


if __name__ == '__main__':
    sys.exit(main())
