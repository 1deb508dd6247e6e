#!/usr/bin/env bash
# Smoke test of the vantor host on disk files: every command once, the exit statuses
# (0, 1 with one ERR_ line, 2 for usage errors) and the data it leaves behind, checked
# with sfdisk and mtools. Usage: cli_smoke.sh PATH/TO/vantor
set -euo pipefail

vantor=$(realpath "${1:?usage: cli_smoke.sh PATH/TO/vantor}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"   # relative paths from here on: the host must resolve them against this directory
export MTOOLS_SKIP_CHECK=1

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# expect STATUS PATTERN -- COMMAND...: runs COMMAND, checks its exit status and that its
# standard error matches PATTERN (empty: anything).
expect() {
  local status=$1 pattern=$2
  shift 3
  local rc=0
  "$@" >out.txt 2>err.txt </dev/null || rc=$?
  if [ "$rc" -ne "$status" ]; then
    fail "$* exited $rc, expected $status"; sed 's/^/    /' err.txt >&2; return 0
  fi
  if [ -n "$pattern" ] && ! grep -qE "$pattern" err.txt; then
    fail "$*: standard error lacks /$pattern/"; sed 's/^/    /' err.txt >&2; return 0
  fi
  pass "$* -> $rc"
}

files_digest() {  # files_digest DISK OFFSET: checksums of every file on the FAT volume
  rm -rf extract && mkdir extract
  mcopy -s -n -i "$1@@$2" '::/*' extract/ 2>/dev/null
  (cd extract && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

"$here/../scripts/make-sample-disk.sh" sample.img >/dev/null
fat16=$((2048 * 512))
fat32=$((51200 * 512))

# --- capture, info, restore -------------------------------------------------------------
expect 0 "" -- "$vantor" capture sample.img sample.vqi
grep -q "Operation finished successfully" out.txt || fail "capture printed no closing line"
expect 1 "^vantor: ERR_FILE_ACCESS \(6\): .*exists" -- "$vantor" capture sample.img sample.vqi
expect 0 "" -- "$vantor" info --json sample.vqi
size=$(stat -c %s sample.vqi)
grep -q "\"fileSize\":$size" out.txt || fail "info --json: file size $size missing: $(cat out.txt)"
runs=$(od -An -tu4 -N4 sample.vqi | tr -d ' ')
grep -q "\"runCount\":$runs," out.txt || fail "info --json: run count $runs missing"
grep -q '"complete":true' out.txt || fail "info --json: image not complete"
expect 0 "" -- "$vantor" info sample.vqi
grep -q "Runs: *$runs" out.txt || fail "info: run count"

expect 0 "" -- "$vantor" restore --verify sample.vqi copy1.img copy2.img --size 64M
[ "$(grep -c '(verified)' out.txt)" -eq 2 ] || fail "restore: two verified targets expected"
for copy in copy1.img copy2.img; do
  for offset in $fat16 $fat32; do
    [ "$(files_digest sample.img $offset)" = "$(files_digest $copy $offset)" ] || fail "$copy: files differ at $offset"
  done
done
[ "$(files_digest copy1.img $fat32 | wc -l)" -ge 5 ] || fail "restore: too few files extracted"
cmp -s -n $((2048 * 512)) sample.img copy1.img || fail "restore: MBR and gap differ"
pass "restored files match"

# --- errors -----------------------------------------------------------------------------
truncate -s 8M small.img
expect 1 "^vantor: ERR_VOLUME_TOO_LARGE \(7\): " -- "$vantor" restore sample.vqi small.img
expect 1 "^vantor: ERR_INVALID_IMAGE_FILE \(11\): " -- "$vantor" info sample.img
expect 1 "^vantor: ERR_FILE_ACCESS \(6\): " -- "$vantor" capture missing.img x.vqi
expect 1 "^vantor: ERR_INCOMPATIBLE_IMAGE \(12\): " -- "$vantor" restore sample.vqi big4k.img --size 64M --sector-size 4096
head -c 100000 sample.vqi >cut.vqi
expect 1 "^vantor: ERR_INVALID_IMAGE_FILE \(11\): .*damaged" -- "$vantor" info cut.vqi
expect 2 "" -- "$vantor"
expect 2 "" -- "$vantor" frobnicate
expect 2 "" -- "$vantor" capture sample.img
expect 2 "" -- "$vantor" zero copy1.img --range 7
expect 2 "" -- "$vantor" partitions copy1.img select
expect 2 "" -- "$vantor" partitions copy1.img explode
expect 0 "" -- "$vantor" restore --help

# --- zero -------------------------------------------------------------------------------
cp sample.img zero.img
expect 0 "" -- "$vantor" zero zero.img --range 0-0 --range 0x800-0x8ff
cmp -s -n 512 zero.img /dev/zero || fail "zero: sector 0 not zero"
cmp -s -i $((0x800 * 512)) -n $((256 * 512)) zero.img /dev/zero || fail "zero: sectors 800h-8ffh not zero"
cmp -s -i 512 -n $((0x800 * 512 - 512)) zero.img sample.img || fail "zero: sectors outside the ranges changed"
cmp -s -i $((0x900 * 512)) zero.img sample.img || fail "zero: sectors after the ranges changed"
expect 1 "^vantor: ERR_INVALID_ARGUMENT \(17\): .*past the last sector" -- "$vantor" zero zero.img --range 0-131072
expect 0 "" -- "$vantor" zero fresh.img --size 1M
[ "$(stat -c %s fresh.img)" -eq 1048576 ] || fail "zero --size: new file has the wrong size"

# --- partitions -------------------------------------------------------------------------
cp sample.img parts.img
count_parts() { sfdisk -d parts.img 2>/dev/null | grep -c 'start='; }
expect 0 "" -- "$vantor" partitions parts.img show
grep -q "No backup partitions" out.txt || fail "partitions show: unexpected backup"
expect 0 "" -- "$vantor" partitions parts.img backup
expect 0 "" -- "$vantor" partitions parts.img select 1
[ "$(count_parts)" -eq 1 ] && sfdisk -d parts.img | grep -q 'start= *51200.*type=c, bootable' || fail "select 1: MBR is not the FAT32 entry alone"
expect 1 "^vantor: ERR_INVALID_ARGUMENT \(17\): .*selection" -- "$vantor" partitions parts.img backup
expect 0 "" -- "$vantor" partitions parts.img restore
[ "$(count_parts)" -eq 2 ] || fail "restore: two partitions expected"
expect 0 "" -- "$vantor" partitions parts.img select-type 0x0e
sfdisk -d parts.img | grep -q 'start= *2048.*type=e, bootable' || fail "select-type 0x0e: FAT16 entry expected"
expect 0 "" -- "$vantor" partitions parts.img select-type all
expect 0 "" -- "$vantor" partitions parts.img show --json
grep -q '"backupMatchesMBR":true' out.txt || fail "show --json: backup should match after select-type all"

# --- boot key ---------------------------------------------------------------------------
{ head -c 100 /dev/zero; printf 'VRK\001\000'; head -c 895 /dev/zero; } >loader.bin
head -c 5000 /dev/urandom >payload.bin
truncate -s 8M key.img
expect 0 "" -- "$vantor" bootkey key.img format --loader loader.bin --payload payload.bin --reserved 4
# Header at offset 100: "VRK" 1 0, segment 1000h, payload at sector 6, 10 sectors.
[ "$(od -An -tx1 -j100 -N11 key.img | tr -d ' \n')" = "56524b0100001006000a00" ] || fail "bootkey: header not patched"
cmp -s -i 0:$((6 * 512)) -n 5000 payload.bin key.img || fail "bootkey: payload not at sector 6"
expect 1 "^vantor: ERR_INVALID_BOOT_LOADER \(13\): " -- "$vantor" bootkey key.img format --loader payload.bin --payload payload.bin
expect 2 "" -- "$vantor" bootkey key.img format --loader loader.bin
expect 0 "" -- "$vantor" bootkey key.img reset
cmp -s -n $((1024 * 512)) key.img /dev/zero || fail "bootkey reset: first 1024 sectors not zero"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
