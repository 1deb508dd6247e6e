#!/usr/bin/env python3
"""Makes the ExtMapperFuzz seeds from small mke2fs volumes: for each, the bytes the mapper
reads (boot area and superblock, descriptor blocks, block bitmaps, as dumpe2fs places
them), in the target's input layout: zeros left out, other repeated bytes as fills.

    python3 tests/fuzz/make_ext_seeds.py tests/fuzz/corpus/ExtMapperFuzz
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

# name, mkfs, options, KiB, 4096-byte sectors, volume start
VOLUMES = [
    ("ext2-1k", "mkfs.ext2", "-b 1024 -g 512", 2048, False, 0),
    ("ext3-1k-offset", "mkfs.ext3", "-b 1024 -g 1024", 3072, False, 63),
    ("ext4-1k-flex-uninit", "mkfs.ext4", "-b 1024 -g 1024", 4096, False, 0),
    ("ext4-4k-64bit-4k-sectors", "mkfs.ext4", "-b 4096 -g 1024 -O 64bit", 8192, True, 2),
    ("ext4-1k-meta_bg", "mkfs.ext4", "-b 1024 -g 256 -O meta_bg,^resize_inode", 4096, False, 0),
    ("ext4-2k-sparse_super2", "mkfs.ext4", "-b 2048 -g 512 -O sparse_super2,^flex_bg", 4096, False, 8),
]


def read_ranges(image):
    """Byte ranges of the volume the mapper reads."""
    text = subprocess.run(["dumpe2fs", image], capture_output=True, text=True, check=True).stdout
    block = int(re.search(r"^Block size:\s+(\d+)", text, re.M).group(1))
    ranges = [(0, 2048)]
    for m in re.finditer(r"Group descriptors? at (\d+)(?:-(\d+))?", text):
        first = int(m.group(1))
        last = int(m.group(2) or first)
        ranges.append((first * block, (last + 1) * block))
    for m in re.finditer(r"Block bitmap at (\d+)", text):
        ranges.append((int(m.group(1)) * block, (int(m.group(1)) + 1) * block))
    return ranges


def records(data, ranges):
    """Fill records for stretches of one repeated byte (bitmaps), plain ones for the rest."""
    out = b""
    for first, end in sorted(set(ranges)):
        at = first
        while at < end:
            same = at
            while same < end and same - at < 0x7FFF and data[same] == data[at]:
                same += 1
            if same - at >= 16:
                if data[at]:
                    out += struct.pack("<IHB", at, 0x8000 | (same - at), data[at])
                at = same
                continue
            stop = at + 1
            while stop < end and stop - at < 0x7FFF and not (data[stop:stop + 16] == bytes([data[stop]]) * 16):
                stop += 1
            out += struct.pack("<IH", at, stop - at) + data[at:stop]
            at = stop
    return out


def main(target):
    os.makedirs(target, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, "v")
        for name, mkfs, options, kib, big_sectors, start in VOLUMES:
            subprocess.run(f"truncate -s {kib}K {image} && {mkfs} -q -F {options} {image}", shell=True, check=True)
            data = open(image, "rb").read()
            head = struct.pack("<BHH", 1 if big_sectors else 0, start, kib - 1)
            with open(os.path.join(target, name), "wb") as f:
                f.write(head + records(data, read_ranges(image)))
            os.unlink(image)


if __name__ == "__main__":
    main(sys.argv[1])
