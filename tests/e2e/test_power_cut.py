"""A power cut at any moment of a commit leaves a usable environment: afterwards a listing shows
exactly the old environment or exactly the new one, never a mix, never nothing.

The flash simulator cuts the power (kills the edit with SIGKILL) once a given number of bytes
have been erased or programmed: at points through the 64 KiB erase, after every single byte of
the 8192-byte image write, and around the 1-byte flag write; in both directions, each in a
process of its own with a /dev of its own, so that the two run side by side."""
import os
import re
import subprocess
import sys

import device
import envimage
from tally import Tally

PARTITION = envimage.PARTITION_SIZE
IMAGE = envimage.IMAGE_SIZE
# Large values, so that every byte of the image write leaves a state of its own.
OLD = ['a=1', 'b=' + 'x' * 4000]
NEW = OLD + ['c=' + 'y' * 4000]
SPARE = envimage.partition(['q=7'], flag=envimage.OBSOLETE, fill=b'\x5a')


def listing(entries):
    return ''.join(entry + '\n' for entry in entries)


def cut_points():
    """Bytes of flash work after which the power goes: through the erase, then after each byte
    of the image write (a subset where that takes too long) and of the flag write."""
    through_erase = [0, 1, 4095, 4096, 32768, 65535]
    written = range(IMAGE + 3)
    if device.reduced_power_cuts():
        written = [k for k in written if k <= 256 or k >= IMAGE - 256 or k % 61 == 0]
    return through_erase + [PARTITION + k for k in written]


def expected_after_cut(cut, to_copy1):
    """What the edit's status and the listing afterwards must be for a cut after cut bytes."""
    programmed = cut - PARTITION  # bytes of the image and flag writes done
    # The new copy wins once the old flag is cleared (the 8193rd byte programmed). Committing
    # to copy 1, it wins already when its image is whole, as copy 1 wins a tie between two
    # active copies: once its last byte that is not 0xFF (like erased flash) is programmed.
    last_byte = len(envimage.image(NEW).rstrip(b'\xff'))
    new_wins = programmed > IMAGE or (to_copy1 and programmed >= last_byte)
    killed = programmed <= IMAGE + 1  # after the flag write there is nothing left to cut
    return -9 if killed else 0, listing(NEW if new_wins else OLD)


def cut_in_one_direction(to_copy1):
    """Prints one verdict for every cut point in this direction."""
    tally = Tally()
    old = envimage.partition(OLD)
    flash = (SPARE, old) if to_copy1 else (old, SPARE)
    problems = []
    for cut in cut_points():
        device.write_flash(*flash)
        edit = device.run(['-s', 'c', 'y' * 4000], {'POWERCUT': cut})
        after = device.run(['-g'])
        status, shown = expected_after_cut(cut, to_copy1)
        if (edit.status, after.status, after.stdout) != (status, 0, shown):
            problems.append('cut after %d bytes: edit status %s, then -g status %s listing %r'
                            % (cut, edit.status, after.status, after.stdout[:60]))
    direction = 'mtd2 to mtd1' if to_copy1 else 'mtd1 to mtd2'
    tally.check('power cut at %d points, commit from %s' % (len(cut_points()), direction),
                {'cuts with another outcome': problems[:10]},
                {'cuts with another outcome': []})
    tally.finish()


def start_with_own_dev(direction):
    """Runs this script for one direction in a mount namespace with a /dev of its own."""
    make_dev = ('mount -t tmpfs tmpfs /dev; mknod -m 666 /dev/null c 1 3; '
                'mknod -m 666 /dev/zero c 1 5; mknod -m 666 /dev/urandom c 1 9')
    return subprocess.Popen(
        ['unshare', '--mount', '--propagation', 'private', '--', '/bin/sh', '-ec',
         make_dev + '\nexec "$@"', 'sh', sys.executable, os.path.abspath(__file__), direction],
        stdout=subprocess.PIPE, text=True)


if sys.argv[1:] == ['to-copy1']:
    cut_in_one_direction(to_copy1=True)
elif sys.argv[1:] == ['to-copy2']:
    cut_in_one_direction(to_copy1=False)
else:
    overall = Tally()
    for process in [start_with_own_dev('to-copy1'), start_with_own_dev('to-copy2')]:
        output = process.communicate()[0]
        counts = re.search(r'^(\d+) passed, (\d+) failed\n\Z', output, re.M)
        print(output[:counts.start()] if counts else output, end='')
        if counts:
            overall.add(int(counts[1]), int(counts[2]))
        else:
            overall.check('a direction of power cuts', {'status': process.returncode},
                          {'status': 'a count of cases'})
    overall.finish()
