#!/bin/sh
# stream-fixtures.sh HEADER
# Writes HEADER: a small disk image (the text of `seq 1 100000`, cut to 256 KiB)
# compressed by the build machine's gzip, xz (one block, and blocks of 64 KiB), zstd,
# bzip2 and zip (deflated, and stored), each as an array of bytes, so that a test
# program takes them along to a machine that has none of these tools.
set -eu
out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
files="disk.img.gz disk.img.xz blocks.img.xz disk.img.zst disk.img.bz2 disk.img.zip stored.img.zip"
seq 1 100000 | head -c 262144 >disk.img
touch -t 202001010000 disk.img  # a zip holds the file's time: the same bytes on every build
gzip -1 -n -c disk.img >disk.img.gz
xz -0 -c disk.img >disk.img.xz
xz -0 -T1 --block-size=64KiB -c disk.img >blocks.img.xz
zstd -q -1 -c disk.img >disk.img.zst
bzip2 -1 -c disk.img >disk.img.bz2
zip -q -X -1 disk.img.zip disk.img
zip -q -X -0 - disk.img >stored.img.zip
{
  echo "// Made by tests/stream-fixtures.sh."
  for f in $files; do
    echo "static const unsigned char stream_$(echo "$f" | tr . _)[] = {"
    od -An -v -tx1 "$f" | sed 's/ *\([0-9a-f][0-9a-f]\)/0x\1,/g'
    echo "};"
  done
  echo "struct StreamFixture { const char* name; const unsigned char* bytes; unsigned long size; };"
  echo "static const StreamFixture STREAM_FIXTURES[] = {"
  for f in $files; do
    v=stream_$(echo "$f" | tr . _)
    echo "    {\"$f\", $v, sizeof $v},"
  done
  echo "};"
} >"$out.part"
mv "$out.part" "$out"
