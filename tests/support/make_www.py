#!/usr/bin/env python3
"""Writes the files nginx serves to the tests: text files, binary files of known content and
sizes, with fixed modification times so Last-Modified is predictable."""
import os
import sys

# Fixed Last-Modified of every served file: Sun, 06 Nov 1994 08:49:37 GMT.
MTIME = 784111777


def pattern(size):
    """Deterministic bytes: byte i is (i * 31 + i // 251) mod 256, so any shift shows."""
    block = bytes(((i * 31) + (i // 251)) & 0xFF for i in range(251 * 256))
    out = bytearray()
    while len(out) < size:
        out += block
    return bytes(out[:size])


def write(root, name, data, mtime=MTIME):
    path = os.path.join(root, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if not (os.path.exists(path) and os.path.getsize(path) == len(data)):
        with open(path, "wb") as f:
            f.write(data)
    os.utime(path, (mtime, mtime))


# A second, later time whose day of the month has two digits: Tue, 14 Nov 2023 22:13:20 GMT.
MTIME_TWO_DIGIT_DAY = 1700000000


def main():
    root = sys.argv[1]
    write(root, "small.txt", b"hello from the publisher\n")
    write(root, "dated.txt", b"a file last changed on the 14th\n", MTIME_TWO_DIGIT_DAY)
    write(root, "1k.bin", pattern(1024))
    write(root, "100k.bin", pattern(100 * 1024))
    write(root, "1m.bin", pattern(1 << 20))
    write(root, "empty.txt", b"")
    for i in range(200):
        write(root, "many/%03d.bin" % i, pattern(1024))
    if "--large" in sys.argv:
        write(root, "20m.bin", pattern(20 << 20))
        write(root, "200m.bin", pattern(200 << 20))


if __name__ == "__main__":
    main()
