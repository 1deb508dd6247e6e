#!/usr/bin/env python3
"""Seeds for GptFuzz from tables sgdisk makes, in the target's input layout (see the
comment at the top of GptFuzz.cpp). Usage: make_gpt_seeds.py OUTPUT_DIRECTORY"""
import os, struct, subprocess, sys, tempfile

MIB = 2048  # 512-byte sectors


def table(mib, *sgdisk_args):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "disk.img")
        subprocess.run(["truncate", "-s", f"{mib}M", path], check=True)
        subprocess.run(["sgdisk", "-o", path], check=True, capture_output=True)
        if sgdisk_args:
            subprocess.run(["sgdisk", *sgdisk_args, path], check=True, capture_output=True)
        with open(path, "rb") as f:
            image = f.read()
    header = image[512:512 + 92]
    lba, count, size = struct.unpack_from("<QII", header, 72)
    array = image[lba * 512:lba * 512 + count * size].rstrip(b"\0")
    return header, array


def seed(options, header, array, disk=0, target=0, faults=0):
    return (bytes([options, faults]) + struct.pack("<II", disk, target) + header + struct.pack("<H", len(array)) + array)


def main(out):
    os.makedirs(out, exist_ok=True)
    three = table(32, "-n", "1:2048:+4M", "-c", "1:Émoji 😀", "-n", "3:0:+6M", "-t", "3:8300", "-n", "6:0:+3M",
                  "-c", "6:data")
    whole = table(8, "-n", "1:0:0", "-c", "1:all")
    moved = table(16, "-j", "2048", "-n", "2:0:+2M")
    wide = table(16, "--resize-table=256", "-n", "20:0:+1M", "-n", "1:0:+1M")
    seeds = [
        seed(0x50, *three),                               # same size, with backup and MBR
        seed(0x40, *three, target=48 * MIB - 3),          # onto a bigger disk
        seed(0x00, *three, target=14 * MIB - 3),          # onto one too small
        seed(0x50, *whole, target=4 * MIB - 3),           # a partition to the end, smaller target
        seed(0x41, *three),                               # read as 4096-byte sectors
        seed(0x10, *moved, target=20 * MIB - 3),          # the primary array moved
        seed(0xC0, *wide, target=12 * MIB - 3, faults=0x80),  # 256 entries (over 16 KiB: both top bits)
        seed(0x70, *three, target=0),                     # a read fails
    ]
    for i, s in enumerate(seeds, 1):
        with open(os.path.join(out, f"seed-{i:02d}"), "wb") as f:
            f.write(s)


if __name__ == "__main__":
    main(sys.argv[1])
