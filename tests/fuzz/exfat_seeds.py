#!/usr/bin/env python3
"""Seeds for ExfatMapperFuzz from exFAT volume images (made by mkfs.exfat, filled or not).

Usage: exfat_seeds.py OUT_FILE IMAGE OPTIONS [START]
(options with bit 3 or 4 set are not supported here: their fields would come first)
A seed is the options byte (and START as the input layout in ExfatMapperFuzz.cpp wants it)
followed by records "u32 offset, u16 length, bytes": the non-zero bytes of what the
mapper reads (boot sector, the first 64 KiB of the active FAT, the root directory, the
bitmap), split where 8 or more zero bytes lie between them.
"""
import struct
import sys

out, image, options = sys.argv[1], sys.argv[2], int(sys.argv[3], 0)
start = int(sys.argv[4], 0) if len(sys.argv) > 4 else 0
d = open(image, 'rb').read()
vl, fo, fl, ho, cc, rc = struct.unpack_from('<QIIIII', d, 72)
act = struct.unpack_from('<H', d, 106)[0] & 1
ss = 1 << d[108]
cs = ss << d[109]
fat_at = (fo + act * fl) * ss
fat = d[fat_at:fat_at + (cc + 2) * 4]


def chain(c):
    out = []
    while 2 <= c < cc + 2 and c not in out:
        out.append(c)
        c = struct.unpack_from('<I', fat, 4 * c)[0]
    return out


clu = lambda c: ho * ss + (c - 2) * cs
regions = [(0, 512), (fat_at, min(65536, len(fat)))]
regions += [(clu(c), cs) for c in chain(rc)]
root = b''.join(d[clu(c):clu(c) + cs] for c in chain(rc))
for i in range(0, len(root), 32):
    if root[i] == 0:
        break
    if root[i] == 0x81:
        first = struct.unpack_from('<I', root, i + 20)[0]
        regions += [(clu(c), cs) for c in chain(first)][: (cc + 8 * cs - 1) // (8 * cs)]

records = b''
for at, n in regions:
    i = at
    while i < at + n:
        if d[i] == 0:
            i += 1
            continue
        j = i
        while j < at + n and any(d[j:min(j + 8, at + n)]):
            j += 1
        records += struct.pack('<IH', i, j - i) + d[i:j]
        i = j
head = bytes([options])
if (options >> 1) & 3 == 1:
    head += bytes([start])
elif (options >> 1) & 3 == 2:
    head += struct.pack('<I', start)
elif (options >> 1) & 3 == 3:
    head += struct.pack('<H', start)  # sectors below 2^32 - 1
open(out, 'wb').write(head + records)
