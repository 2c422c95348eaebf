#!/usr/bin/env python3
"""Rebuilds the seed corpora of the fuzz targets.

Usage: fuzz/make-corpus.py BUILD-DIR   (a build with bin/kestro)

ApplyFuzz, DecodeFuzz and CompactFuzz get real deltas made by kestro from
the fixed target of ApplyFuzz (the same 3000 bytes) to edited versions of
it, ApplyFuzz in both formats; CompactFuzz also the body (format 2.1, with
the x86 filter) that turns the sample program into its next version;
RoundTripFuzz gets original/newer pairs, the sample program and its next
version among them, and small programs of the other shapes the image filter
knows (ELF x86-64, AArch64 and 32-bit ARM in both states, PE ARM64 and
i386) with their next versions, which kestro_image_pairs (built with the
tests) writes, and also, for CompactFuzz, their bodies of formats 2.2 and
2.3, and of 2.4 (differences in run form), and those of images whose
sections overlap, and for ImageFuzz those images; VersionFuzz gets the PE
fixtures.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
kestro = os.path.join(os.path.abspath(sys.argv[1]), "bin", "kestro")
image_pairs = os.path.join(os.path.abspath(sys.argv[1]), "bin", "kestro_image_pairs")
corpus = os.path.join(root, "fuzz", "corpus")


def target_bytes():
    # The same generator as ApplyFuzz's fixed target.
    state = 12345
    out = bytearray()
    for _ in range(3000):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        out.append((state >> 16) & 0xFF)
    return bytes(out)


def newer_versions(original):
    rnd = random.Random(7)
    edited = bytearray(original)
    for _ in range(10):
        edited[rnd.randrange(len(edited))] ^= 0x5A
    inserted = original[:1000] + b"inserted bytes " * 4 + original[1000:]
    shifted = original[500:] + original[:500]
    return [bytes(edited), inserted, shifted, original[:3], b"", original + b"tail" * 50]


def fresh(name):
    path = os.path.join(corpus, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def make_delta(work, options):
    subprocess.run([kestro, *options, os.path.join(work, "target.bin"), "newer.bin"],
                   check=True, stdout=subprocess.DEVNULL)
    delta_name = os.path.join(work, "target.bin_.kst")
    with open(delta_name, "rb") as f:
        delta = f.read()
    os.remove(delta_name)
    return delta


def main():
    original = target_bytes()
    apply_dir, decode_dir, compact_dir, trip_dir, version_dir, _ = (
        fresh(n)
        for n in ("ApplyFuzz", "DecodeFuzz", "CompactFuzz", "RoundTripFuzz", "VersionFuzz",
                  "ImageFuzz"))
    with tempfile.TemporaryDirectory() as work:
        for i, newer in enumerate(newer_versions(original)):
            with open(os.path.join(work, "target.bin"), "wb") as f:
                f.write(original)
            with open(os.path.join(work, "newer.bin"), "wb") as f:
                f.write(newer)
            delta, compact = (
                make_delta(work, options) for options in ([], ["--compact"]))
            with open(os.path.join(apply_dir, f"delta{i}"), "wb") as f:
                f.write(delta)
            with open(os.path.join(apply_dir, f"compact{i}"), "wb") as f:
                f.write(compact)
            with open(os.path.join(decode_dir, f"stream{i}"), "wb") as f:
                f.write(struct.pack("<H", len(original)) + original + delta[140:])
            with open(os.path.join(compact_dir, f"body{i}"), "wb") as f:
                f.write(struct.pack("<H", len(original)) + original + compact[140:])
            with open(os.path.join(trip_dir, f"pair{i}"), "wb") as f:
                f.write(struct.pack("<H", len(original)) + original + newer)
        samples = os.path.join(root, "samples")
        shutil.copy(os.path.join(samples, "hello.exe"), os.path.join(work, "target.bin"))
        shutil.copy(os.path.join(samples, "hello-1.0.0.2.exe"), os.path.join(work, "newer.bin"))
        with open(os.path.join(work, "target.bin"), "rb") as f:
            program = f.read()
        compact = make_delta(work, ["--compact"])
        with open(os.path.join(compact_dir, "program0"), "wb") as f:
            f.write(struct.pack("<H", len(program)) + program + compact[140:])
        with open(os.path.join(work, "newer.bin"), "rb") as f:
            newer_program = f.read()
        with open(os.path.join(trip_dir, "program0"), "wb") as f:
            f.write(struct.pack("<H", len(program)) + program + newer_program)
    subprocess.run([image_pairs, corpus], check=True)
    for folder in (os.path.join(root, "tests", "data", "pe"), os.path.join(root, "samples")):
        for name in sorted(os.listdir(folder)):
            if name.endswith(".exe"):
                shutil.copy(os.path.join(folder, name), os.path.join(version_dir, name))


main()
