#!/usr/bin/env bash
# Builds a sample disk file: 64 MiB, an MBR with two FAT partitions (FAT16, type 0x0e,
# and FAT32, type 0x0c), each holding a few files of random content and a directory,
# with one file deleted on each so that the used clusters have a hole.
# Usage: scripts/make-sample-disk.sh OUTPUT.img
# Needs sfdisk, mkfs.fat and mtools (scripts/setup.sh installs them). No root needed.
set -euo pipefail

out=${1:?usage: make-sample-disk.sh OUTPUT.img}
export MTOOLS_SKIP_CHECK=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sectors of 512 bytes: FAT16 over 1 MiB..25 MiB, FAT32 over 25 MiB..64 MiB.
p1_start=2048
p1_sectors=49152
p2_start=$((p1_start + p1_sectors))
total_sectors=131072
p2_sectors=$((total_sectors - p2_start))

rm -f "$out"
truncate -s $((total_sectors * 512)) "$out"
sfdisk --quiet "$out" <<TABLE
label: dos
start=${p1_start}, size=${p1_sectors}, type=e
start=${p2_start}, size=${p2_sectors}, type=c
TABLE

# mkfs.fat counts blocks of 1 KiB and takes the offset in sectors.
# (It warns that the block count is not the file's size: that is the point of it.)
mkfs.fat -F 16 -n SAMPLE16 --offset "$p1_start" "$out" $((p1_sectors / 2)) 2>&1 >/dev/null | grep -v 'block count mismatch' >&2 || true
mkfs.fat -F 32 -s 1 -n SAMPLE32 --offset "$p2_start" "$out" $((p2_sectors / 2)) 2>&1 >/dev/null | grep -v 'block count mismatch' >&2 || true

fill() {  # fill IMAGE@@OFFSET PREFIX
  local volume=$1 prefix=$2
  head -c 300000 /dev/urandom >"$work/a.bin"
  head -c 1234567 /dev/urandom >"$work/b.bin"
  head -c 777 /dev/urandom >"$work/small.txt"
  head -c 2000000 /dev/urandom >"$work/gone.bin"
  head -c 65536 /dev/urandom >"$work/c.bin"
  head -c 4096 /dev/urandom >"$work/d.bin"
  mcopy -i "$volume" "$work/a.bin" "::/${prefix}A.BIN"
  mcopy -i "$volume" "$work/gone.bin" "::/${prefix}GONE.BIN"
  mcopy -i "$volume" "$work/b.bin" "::/${prefix}B.BIN"
  mcopy -i "$volume" "$work/small.txt" "::/README.TXT"
  mmd -i "$volume" "::/DATA"
  mmd -i "$volume" "::/DATA/DEEP"
  mcopy -i "$volume" "$work/c.bin" "::/DATA/C.BIN"
  mcopy -i "$volume" "$work/d.bin" "::/DATA/DEEP/D.BIN"
  # A deleted file leaves free clusters between used ones.
  mdel -i "$volume" "::/${prefix}GONE.BIN"
}
fill "$out@@$((p1_start * 512))" F16
fill "$out@@$((p2_start * 512))" F32

mdir -i "$out@@$((p1_start * 512))" -/ ::/ >/dev/null
mdir -i "$out@@$((p2_start * 512))" -/ ::/ >/dev/null
echo "sample disk: $out (64 MiB: FAT16 at sector $p1_start, FAT32 at sector $p2_start)"
