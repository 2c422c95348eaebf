#!/usr/bin/env python3
"""Writes a synthetic pair of files for benchmarks: OLD of SIZE random bytes
and NEW, the same bytes with the kind of edits a rebuilt program shows: a
few changed runs in every 256 KiB, and now and then a few bytes inserted or
dropped, so later data moves a little. The same SIZE always gives the same
pair.

Usage: bench/synthetic-pair.py SIZE OLD NEW   (SIZE in bytes, or with K/M/G)
"""
import random
import sys

CHUNK = 256 * 1024


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if text[-1:].upper() in units:
        return int(text[:-1]) * units[text[-1:].upper()]
    return int(text)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    size = parse_size(sys.argv[1])
    rng = random.Random(size)
    with open(sys.argv[2], "wb") as old, open(sys.argv[3], "wb") as new:
        left = size
        while left > 0:
            chunk = bytearray(rng.randbytes(min(CHUNK, left)))
            left -= len(chunk)
            old.write(chunk)
            for _ in range(4):
                at = rng.randrange(len(chunk))
                run = rng.randbytes(rng.randrange(1, 64))
                chunk[at : at + len(run)] = run[: len(chunk) - at]
            if rng.random() < 0.25:
                at = rng.randrange(len(chunk))
                if rng.random() < 0.5:
                    chunk[at:at] = rng.randbytes(rng.randrange(1, 16))
                else:
                    del chunk[at : at + rng.randrange(1, 16)]
            new.write(chunk)


if __name__ == "__main__":
    main()
