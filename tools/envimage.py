#!/usr/bin/env python3
"""The boot loader's environment as the device stores it, built and read
back for the tests, the demo and the benchmark.

One copy of the environment is an 8192-byte image at offset 0 of its flash
partition: a CRC-32 of bytes 5..8191 stored big-endian, a flag byte (1 the
active copy, 0 an obsolete one), then the NAME=VALUE entries, each ended by
a NUL, an empty entry that ends the list, and 0xFF up to the end (erased
flash). The rest of the partition lies behind the image.

As a module:  import envimage; envimage.partition(['bootdelay=3'], flag=1)
As a command: envimage.py FILE [--flag N] [--size BYTES] NAME=VALUE...
"""
import argparse
import zlib

IMAGE_SIZE = 8192
FLAG_OFFSET = 4
DATA_OFFSET = 5
DATA_SIZE = IMAGE_SIZE - DATA_OFFSET
PARTITION_SIZE = 65536  # one erase block of the device's NOR flash
ACTIVE, OBSOLETE = 1, 0


def data_area(entries):
    """The 8187-byte data area of a list of 'NAME=VALUE' texts, in order.
    Given bytes instead of a list, those bytes are the start of the area as
    they stand (for damaged or unusual layouts); the 0xFF fill follows."""
    if isinstance(entries, bytes):
        raw = entries
    else:
        raw = b''.join(entry.encode('latin-1') + b'\0' for entry in entries) + b'\0'
    if len(raw) > DATA_SIZE:
        raise ValueError('%d bytes do not fit the %d-byte data area' % (len(raw), DATA_SIZE))
    return raw.ljust(DATA_SIZE, b'\xff')


def image(entries, flag=ACTIVE, valid=True):
    """One 8192-byte image; valid=False stores a checksum that does not match."""
    data = data_area(entries)
    crc = zlib.crc32(data) ^ (0 if valid else 0xFFFFFFFF)
    return crc.to_bytes(4, 'big') + bytes([flag]) + data


def partition(entries, flag=ACTIVE, size=PARTITION_SIZE, fill=b'\xff', valid=True):
    """A partition of size bytes: the image, then fill repeated up to the end
    (cut at size when the partition is shorter than an image)."""
    whole = image(entries, flag, valid)
    whole += fill * max(0, size - len(whole))
    return whole[:size]


def with_flag(content, flag):
    """The same partition or image with another flag byte."""
    return content[:FLAG_OFFSET] + bytes([flag]) + content[FLAG_OFFSET + 1:]


def committed(partition, entries, erased=PARTITION_SIZE):
    """A partition after a commit of entries to it: the first erased bytes erased, the new image
    written there marked active, the rest as it was."""
    return image(entries) + b'\xff' * (erased - IMAGE_SIZE) + partition[erased:]


def entries_of(content):
    """The 'NAME=VALUE' texts of an image, in order, up to the empty entry."""
    data = content[DATA_OFFSET:IMAGE_SIZE]
    found = []
    start = 0
    while start < len(data) and data[start] != 0:
        end = data.find(b'\0', start)
        end = len(data) if end < 0 else end
        found.append(data[start:end].decode('latin-1'))
        start = end + 1
    return found


def main():
    parser = argparse.ArgumentParser(description='Writes one flash partition holding '
                                     'an environment image.')
    parser.add_argument('file')
    parser.add_argument('entries', nargs='*', metavar='NAME=VALUE')
    parser.add_argument('--flag', type=int, default=ACTIVE, help='1 active, 0 obsolete')
    parser.add_argument('--size', type=int, default=PARTITION_SIZE, help='partition bytes')
    args = parser.parse_intermixed_args()
    with open(args.file, 'wb') as out:
        out.write(partition(args.entries, args.flag, args.size))


if __name__ == '__main__':
    main()
