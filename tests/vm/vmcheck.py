#!/usr/bin/env python3
"""pelvanor on the kernel's MTD driver (block2mtd, mtdram), run by tools/vm/run-stage:
    vmcheck.py prepare WORK   lays out the flash pairs and the guest's step list
    vmcheck.py check WORK     checks what the guest saved after each step

A model on the host follows each flash pair and builds every committed image with
tools/envimage.py: after each step both partitions must match it byte for byte (the new copy
active, the erased blocks 0xFF, the old copy changed only in its flag byte, now 0) and the
kernel must have seen exactly the expected erase and write requests."""
import dataclasses
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '../../tools'))
sys.path.insert(0, os.path.join(HERE, '../../tools/vm'))
import envimage  # noqa: E402
import vmrun  # noqa: E402

KIB = 1024
OPEN_COPY1 = 'read_uboot_env: Could not open env flash device...\n'
OPEN_COPY2 = 'read_uboot_env: Could not open env2 flash device...\n'
BASE = ['bootcmd=run boot_flash', 'bootdelay=3', 'ipaddr=192.168.0.10', 'empty=']
NETWORK = ['use_net_settings=1', 'ipaddr=10.1.2.3', 'netmask=255.255.255.0',
           'gatewayip=10.1.2.1', 'use_dhcp=0']


@dataclasses.dataclass
class Device:
    driver: str  # "b2m": block2mtd over a virtio disk, "ram": mtdram
    erase_size: int
    size: int
    entries: list = None  # the image seeded at offset 0; None: filler only
    flag: int = envimage.ACTIVE


# The flash pairs behind /dev/mtd1 and /dev/mtd2: 64 KiB erase blocks as on the device, 4 KiB
# blocks (two per image, one device RAM-backed) and 128 KiB blocks.
PAIRS = {
    'e64': (Device('b2m', 64 * KIB, 128 * KIB, BASE), Device('b2m', 64 * KIB, 128 * KIB)),
    'e4': (Device('b2m', 4 * KIB, 16 * KIB, BASE),
           Device('ram', 4 * KIB, 16 * KIB, ['old=x'], envimage.OBSOLETE)),
    'e128': (Device('b2m', 128 * KIB, 256 * KIB, ['old=y'], envimage.OBSOLETE),
             Device('b2m', 128 * KIB, 256 * KIB, BASE)),
    'net': (Device('b2m', 64 * KIB, 128 * KIB, ['use_net_settings=0'], envimage.OBSOLETE),
            Device('b2m', 64 * KIB, 128 * KIB, NETWORK)),
}

# The device's files under /etc, before and after the network apply.
ETC = {
    'stacfg/porteth0.config': 'use_dhcp=n\nip_addr={ip}\nsubnet={mask}\n',
    'sysconfig/network': 'NETWORKING=yes\nGATEWAY0={gateway}\nHOSTNAME=dev\n',
    'sysconfig/netscripts/ifcfg-eth0':
        'DEVICE=eth0\nIPADDR={ip}\nNETMASK={mask}\nBROADCAST={broadcast}\nNETWORK={network}\n'
        'ONBOOT=yes\n',
}
OLD_SETTINGS = dict(ip='192.168.0.10', mask='255.255.0.0', gateway='192.168.0.1',
                    broadcast='192.168.255.255', network='192.168.0.0')
NEW_SETTINGS = dict(ip='10.1.2.3', mask='255.255.255.0', gateway='10.1.2.1',
                    broadcast='10.1.2.255', network='10.1.2.0')
APPLIED = ('gateway ip: 10.1.2.1\nnetmask: 255.255.255.0\nipaddr: 10.1.2.3\nuse_dhcp: 0\n'
           'Network settings updated...\n')

LISTING = object()  # the expected output is the model's listing
READ_WRITE = ('rw', 'rw')


@dataclasses.dataclass
class Step:
    pair: str
    args: str
    status: int = 0
    stdout: object = ''
    stderr: str = ''
    commits: bool = False
    nodes: tuple = READ_WRITE  # /dev/mtd1 and /dev/mtd2: "rw", "ro" (read-only node), "-" (none)


# Queries, edits (the four e64 commits alternate between the copies), missing and read-only
# device nodes, other erase block sizes, and the network apply.
STEPS = [
    Step('e64', '-g', stdout=LISTING),
    Step('e64', '-g bootdelay', stdout='3\n'),
    Step('e64', '-s bootdelay 5', commits=True),
    Step('e64', '-S a=1 ipaddr c= eq=x=y a=2', commits=True),
    Step('e64', '-d bootcmd', commits=True),
    Step('e64', '-s bootdelay 7', commits=True),
    Step('e64', '-g', stdout=LISTING),
    Step('e64', '-g bootdelay', nodes=('rw', '-'), status=1,
         stderr=OPEN_COPY2 + 'bootdelay not found\n'),
    Step('e64', '-s k v', nodes=('rw', '-'), status=1, stderr=OPEN_COPY2 + 'could not set k=v\n'),
    Step('e64', '-g', nodes=('-', 'rw'), stderr=OPEN_COPY1),
    Step('e64', '-g', nodes=('rw', 'ro'), stderr=OPEN_COPY2),
    Step('e64', '-d bootdelay', nodes=('rw', 'ro'), status=1,
         stderr=OPEN_COPY2 + 'could not delete bootdelay\n'),
    Step('e64', '-s k v', nodes=('ro', 'rw'), status=1, stderr=OPEN_COPY1 + 'could not set k=v\n'),
    Step('e4', '-s bootdelay 0', commits=True),
    Step('e4', '-S x=1 y=2 big=' + 'v' * 4000, commits=True),
    Step('e4', '-d x', commits=True),
    Step('e4', '-g', stdout=LISTING),
    Step('e128', '-s bootdelay 9', commits=True),
    Step('e128', '-S x=1 y=2', commits=True),
    Step('e128', '-g', stdout=LISTING),
    Step('net', '', stdout=APPLIED, commits=True),
]

# Erase requests and writes on the flash devices in a strace -y log: the call, the device, then
# the erase's start and length or the write's size, then the result.
REQUEST = re.compile(r'^(ioctl|write)\(\d+<(/dev/mtd\d)>, '
                     r'(?:.*MEMERASE, \{start=(\w+), length=(\w+)\}|""\.*, (\d+))\) += (-?\d+)',
                     re.M)


def initial(device, index):
    """A device's bytes: its seeded image, then a filler that is never 0xFF."""
    filler = bytes((offset * 7 + index * 17 + (offset >> 12)) % 255
                   for offset in range(device.size))
    if device.entries is None:
        return filler
    return (envimage.image(device.entries, device.flag) + filler)[:device.size]


def edited(entries, args):
    """The entries after an edit: each drops every entry of its name and appends the new
    value, if any, at the end. The network apply (no arguments) clears its request."""
    if not args:
        edits = [('use_net_settings', ['0'])]
    elif args[0] == '-S':
        edits = [(name, value) for name, *value in (arg.split('=', 1) for arg in args[1:])]
    else:
        edits = [(args[1], args[2:])]
    for name, value in edits:
        entries = [entry for entry in entries if entry.split('=', 1)[0] != name]
        entries += ['%s=%s' % (name, text) for text in value]
    return entries


def first_difference(got, want):
    at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return 'from byte %d: %r, expected %r' % (at, got[at:at + 32], want[at:at + 32])


def flash_requests(trace):
    found = []
    for call, device, start, length, size, result in REQUEST.findall(trace):
        numbers = [int(number, 0) for number in (start, length, size, result) if number]
        found.append((call, device, *numbers))
    return found


def check(results):
    """One verdict per step; each step starts from what the guest read after the previous."""
    flash = {pair: [initial(device, index) for index, device in enumerate(devices)]
             for pair, devices in PAIRS.items()}
    active = {pair: next(index for index, device in enumerate(devices)
                         if device.entries and device.flag == envimage.ACTIVE)
              for pair, devices in PAIRS.items()}
    entries = {pair: PAIRS[pair][active[pair]].entries for pair in PAIRS}
    failed = 0
    for number, step in enumerate(STEPS):
        pair, step_id = step.pair, 's%02d' % number
        old, new = active[pair], 1 - active[pair]
        expected_requests = []
        if step.commits:
            erase_size = PAIRS[pair][new].erase_size
            erased = -(-envimage.IMAGE_SIZE // erase_size) * erase_size  # whole blocks
            entries[pair] = edited(entries[pair], step.args.split())
            image = envimage.image(entries[pair])
            flash[pair][new] = (image + b'\xff' * (erased - len(image)) +
                                flash[pair][new][erased:])
            flash[pair][old] = envimage.with_flag(flash[pair][old], envimage.OBSOLETE)
            active[pair] = new
            expected_requests = [('ioctl', '/dev/mtd%d' % (new + 1), 0, erased, 0),
                                 ('write', '/dev/mtd%d' % (new + 1), envimage.IMAGE_SIZE,
                                  envimage.IMAGE_SIZE),
                                 ('write', '/dev/mtd%d' % (old + 1), 1, 1)]
        stdout = step.stdout
        if stdout is LISTING:
            stdout = ''.join(entry + '\n' for entry in entries[pair])
        settings = NEW_SETTINGS if pair == 'net' else OLD_SETTINGS
        want = {'.rc': b'%d\n' % step.status, '.out': stdout.encode(),
                '.err': step.stderr.encode(), '.p1': flash[pair][0], '.p2': flash[pair][1]}
        want.update({'.etc/' + path: text.format(**settings).encode()
                     for path, text in ETC.items()})
        problems = ['%s: %s' % (key, first_difference(results[step_id + key], value)
                                if step_id + key in results else 'missing')
                    for key, value in want.items() if results.get(step_id + key) != value]
        requests = flash_requests(results.get(step_id + '.trace', b'').decode())
        if requests != expected_requests:
            problems.append('requests %s, expected %s' % (requests, expected_requests))
        print('%s %s %s mtd1=%s mtd2=%s: pelvanor %s' % (
            'FAIL' if problems else 'ok  ', step_id, pair, step.nodes[0], step.nodes[1],
            step.args[:40]))
        for problem in problems:
            print('     ' + problem)
        failed += bool(problems)
        flash[pair] = [results.get(step_id + '.p1', flash[pair][0]),
                       results.get(step_id + '.p2', flash[pair][1])]
    print('%d passed, %d failed' % (len(STEPS) - failed, failed))
    return 1 if failed else 0


def prepare(work):
    pairs = {pair: [(device.driver, device.erase_size, initial(device, index))
                    for index, device in enumerate(devices)]
             for pair, devices in PAIRS.items()}
    steps = [('s%02d' % number, step.pair, step.nodes, step.args.split())
             for number, step in enumerate(STEPS)]
    vmrun.prepare(work, pairs, steps,
                  {path: text.format(**OLD_SETTINGS) for path, text in ETC.items()})


if __name__ == '__main__':
    command, work = sys.argv[1:3]
    if command == 'prepare':
        prepare(work)
    else:
        saved = vmrun.results(work)
        if saved is None:
            print('FAIL the guest left no results\n0 passed, 1 failed')
            sys.exit(1)
        sys.exit(check(saved))
