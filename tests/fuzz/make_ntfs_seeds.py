#!/usr/bin/env python3
"""Makes the NtfsMapperFuzz seeds from volumes mkntfs makes.

    make_ntfs_seeds.py OUT

Each seed is what the mapper reads from one small volume, in the target's input layout
(tests/fuzz/NtfsMapperFuzz.cpp): an options byte, then pieces (volume byte offset u32,
length u16, bytes) for the boot sector, $Bitmap's MFT record as stored (update sequence
applied) and the bitmap's clusters, cut to the bytes the cluster count needs.
"""
import os
import struct
import subprocess
import sys
import tempfile

# (name, bytes, mkntfs options, options byte: bit 0 4096-byte drive sectors, bits 1-3 start / 8)
VOLUMES = [
    ("default", 2 << 20, [], 0x00),
    ("half-k-clusters", 3 << 20, ["-c", "512"], 0x02),
    ("large-clusters", 8 << 20, ["-c", "65536"], 0x04),
    ("native-4k", 4 << 20, ["-s", "4096"], 0x03),
    ("half-k-sectors-on-4k-drive", 2 << 20, ["-s", "512", "-c", "1024"], 0x05),
    ("volume-one-sector-short", 2 << 20, [], 0x20),
]


def piece(offset, data):
    return struct.pack("<IH", offset, len(data)) + data


def seed(image, options):
    v = open(image, "rb").read()
    bps, spc = struct.unpack_from("<H", v, 11)[0], v[13]
    total, mft = struct.unpack_from("<QQ", v, 40)
    cpr = struct.unpack_from("<b", v, 64)[0]
    cluster = bps * (spc if spc <= 0x80 else 1 << (256 - spc))
    record = cpr * cluster if cpr > 0 else 1 << -cpr
    at = mft * cluster + 6 * record
    raw = v[at:at + record]
    r = bytearray(raw)
    usa, count = struct.unpack_from("<HH", r, 4)
    for block in range(count - 1):  # undo the update sequence to read the runs
        r[block * 512 + 510:block * 512 + 512] = r[usa + 2 * (block + 1):usa + 2 * (block + 2)]
    a = struct.unpack_from("<H", r, 20)[0]
    while struct.unpack_from("<I", r, a)[0] != 0x80:
        a += struct.unpack_from("<I", r, a + 4)[0]
    p, lcn, need = a + struct.unpack_from("<H", r, a + 32)[0], 0, (total // (cluster // bps) + 7) // 8
    out = bytes([options]) + piece(0, v[:512]) + piece(at, raw)
    while r[p] and need > 0:
        ls, os_ = r[p] & 15, r[p] >> 4
        length = int.from_bytes(r[p + 1:p + 1 + ls], "little")
        lcn += int.from_bytes(r[p + 1 + ls:p + 1 + ls + os_], "little", signed=True)
        n = min(need, length * cluster)
        out += piece(lcn * cluster, v[lcn * cluster:lcn * cluster + n])
        need -= n
        p += 1 + ls + os_
    return out


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        for name, size, args, options in VOLUMES:
            image = os.path.join(work, name)
            with open(image, "wb") as f:
                f.truncate(size)
            subprocess.run(["mkntfs", "-F", "-Q", *args, image], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            with open(os.path.join(out, name), "wb") as f:
                f.write(seed(image, options))


if __name__ == "__main__":
    main()
