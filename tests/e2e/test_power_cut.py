"""A power cut at any moment of a commit leaves a usable environment: afterwards a listing shows
exactly the old environment or exactly the new one, never a mix, never nothing.

The flash simulator cuts the power (kills the edit with SIGKILL) once a given number of bytes
have been erased or programmed: at points through the 64 KiB erase, after every single byte of
the 8192-byte image write (a subset under emulation and sanitizers, POWERCUT=reduced), and
around the 1-byte flag write."""
import os

import pytest

import device
import envimage

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
    of the image write and of the flag write."""
    through_erase = [0, 1, 4095, 4096, 32768, 65535]
    written = range(IMAGE + 3)
    if os.environ.get('POWERCUT') == 'reduced':
        written = [done for done in written if done <= 256 or done >= IMAGE - 256
                   or done % 61 == 0]
    return through_erase + [PARTITION + done for done in written]


def expected_after_cut(cut, to_copy1):
    """The edit's status and the listing afterwards for a cut after cut bytes."""
    programmed = cut - PARTITION  # bytes of the image and flag writes done
    # The new copy wins once the old flag is cleared (the 8193rd byte programmed). Committing
    # to copy 1, it wins already when its image is whole, as copy 1 wins a tie between two
    # active copies: once its last byte that is not 0xFF (like erased flash) is programmed.
    last_byte = len(envimage.image(NEW).rstrip(b'\xff'))
    new_wins = programmed > IMAGE or (to_copy1 and programmed >= last_byte)
    killed = programmed <= IMAGE + 1  # after the flag write there is nothing left to cut
    return -9 if killed else 0, listing(NEW if new_wins else OLD)


# A commit that touches the active copy, marks the new copy active before it is complete or
# clears the old flag too early leaves, at some cut, a listing that is neither.
@pytest.mark.parametrize('to_copy1', [False, True], ids=['to_mtd2', 'to_mtd1'])
def test_power_cut_at_every_point(to_copy1):
    old = envimage.partition(OLD)
    flash = (SPARE, old) if to_copy1 else (old, SPARE)
    wrong = []
    for cut in cut_points():
        device.write_flash(*flash)
        edit = device.run(['-s', 'c', 'y' * 4000], flash={'POWERCUT': cut})
        after = device.run(['-g'])
        status, shown = expected_after_cut(cut, to_copy1)
        if (edit.status, after.status, after.stdout) != (status, 0, shown):
            wrong.append(f'cut after {cut} bytes: edit status {edit.status}, then -g status '
                         f'{after.status} listing {after.stdout[:60]!r}')
    assert wrong[:10] == []
