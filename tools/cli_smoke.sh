#!/usr/bin/env bash
# Smoke test of the vantor host on Linux: the checks both systems share
# (cli_smoke_common.sh), then what only this system offers or needs: checksums, verify,
# mount, the questions before destroying data, progress output, and, as root, loop
# devices it makes itself, and signals. Every --json output must parse.
# Usage: cli_smoke.sh PATH/TO/vantor
set -euo pipefail
exe=$(realpath "${1:?usage: cli_smoke.sh PATH/TO/vantor}")
vantor() { "$exe" "$@"; }
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
loops=()
cleanup() {
  [ -d "$work/served" ] && { fusermount3 -u "$work/served" 2>/dev/null || umount -l "$work/served" 2>/dev/null || true; }
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"   # relative paths from here on: the host must resolve them against this directory
source "$here/cli_smoke_common.sh"

# json_ok WHAT OUTCOME: every line of out.txt is a JSON object, the last one with that outcome.
json_ok() {
  python3 -c 'import json, sys
assert [json.loads(line) for line in open("out.txt").read().splitlines()][-1]["outcome"] == sys.argv[1]' "$2" \
    2>/dev/null && pass "$1: JSON" || fail "$1: $(cat out.txt)"
}

# --- checksums: a flipped bit is found by info --check and refused by restore ---------------
size=$(stat -c %s sample.vqi)
for offset in 0 20 94 $((size / 2)) $((size - 1)); do
  cp sample.vqi flipped.vqi
  cp sample.vqi.sums flipped.vqi.sums
  byte=$(od -An -tu1 -j "$offset" -N1 flipped.vqi | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 4)))" | dd of=flipped.vqi bs=1 seek="$offset" conv=notrunc status=none
  rc=0; vantor info --check flipped.vqi >/dev/null 2>&1 || rc=$?
  rc2=0; vantor restore flipped.vqi flipped.img --size 64M >/dev/null 2>&1 || rc2=$?
  [ "$rc$rc2" = 11 ] && [ ! -e flipped.img ] || fail "a bit flipped at byte $offset: info --check $rc, restore $rc2"
done

# --- verify: every target at once, nothing written; a changed sector is found in its chunk
expect 0 "" -- verify sample.vqi copy1.img copy2.img
[ "$(grep -c 'matches the image' out.txt)" -eq 2 ] || fail "verify: two matching targets expected"
printf '\x5a' | dd of=copy2.img bs=1 seek=$((fat32 + 3)) conv=notrunc status=none
cp copy2.img changed.img
expect 1 "ERR_VERIFY_MISMATCH \(5\): .*LBA $(printf '%08X' $((fat32 / 512)))h" -- verify --progress=json sample.vqi copy2.img
json_ok "verify --progress=json" error
cmp -s copy2.img changed.img || fail "verify wrote to its target"

# --- mount: the image as read-only raw disk files ---------------------------------------
if vantor mount --help >/dev/null 2>&1 && [ -c /dev/fuse ] && command -v fusermount3 >/dev/null; then
  mkdir served
  "$exe" mount sample.vqi served 2>/dev/null &
  mounter=$!
  for _ in $(seq 50); do [ -e served/part2.img ] && break; sleep 0.1; done
  [ "$(files_digest served/part2.img 0)" = "$(files_digest sample.img $fat32)" ] || fail "mount: files of part2 differ"
  fsck.fat -n served/part1.img >/dev/null 2>&1 || fail "mount: fsck.fat -n finds faults in part1.img"
  : 2>/dev/null >>served/disk.img && fail "mount: disk.img opened for writing"
  fusermount3 -u served
  wait "$mounter" || fail "mount: vantor mount did not end cleanly after fusermount3 -u"
else
  echo "skip: vantor mount (no FUSE here)"
fi

# --- what the host will not write unasked -------------------------------------------------
cp sample.vqi saved.vimg
expect 1 "^vantor: ERR_ABORTED \(16\): .*captured image: --yes does not answer" -- zero -y saved.vimg
cp sample.img data.img
expect 1 "holds data where the zeros go" -- zero data.img --range 0-0
cmp -s data.img sample.img && cmp -s saved.vimg sample.vqi || fail "a refused zero wrote a file"
head -c 512 /dev/urandom | dd of=data.img bs=512 seek=2 conv=notrunc status=none
cp data.img sec2.img
expect 1 "^vantor: ERR_INVALID_ARGUMENT \(17\): sector 2 holds [0-9]+ non-zero bytes of other data" -- partitions data.img backup
cmp -s data.img sec2.img || fail "a refused backup wrote sector 2"

# --- loop devices (root only) --------------------------------------------------------------
# attach FILE: prints a new loop device over FILE; the caller adds it to loops, which the
# EXIT trap detaches (a command substitution cannot add it itself).
attach() { losetup -f --show "$1" 2>/dev/null; }
if [ "$(id -u)" -eq 0 ] && cp sample.img loop.img && loop=$(attach loop.img); then
  loops+=("$loop")
  expect 2 "file behind the loop device" -- capture --force "$loop" loop.img
  expect 1 "in use by the loop device $loop" -- zero --force loop.img
  expect 0 "" -- zero -y "$loop" --range 0-0
  # Only sector 0 differs from the sample: the refused commands above wrote nothing either.
  cmp -s -n 512 loop.img /dev/zero && cmp -s -i 512 loop.img sample.img || fail "zero -y: not exactly sector 0"
  # Each signal goes to a stopped zeroing and is taken when it goes on, so the checks do
  # not depend on how fast the drive is written.
  truncate -s 4G slow.img
  if slow=$(attach slow.img); then
    loops+=("$slow")
    for sig in INT TERM; do
      set -m  # job control: the background job gets SIGINT's default disposition, not SIG_IGN
      "$exe" zero -y "$slow" >/dev/null 2>sig.txt &
      pid=$!
      set +m
      sleep 0.3
      kill -STOP "$pid"; kill -$sig "$pid"; kill -CONT "$pid"
      rc=0
      wait "$pid" || rc=$?
      [ "$rc" -eq 130 ] && grep -q "interrupted" sig.txt && pass "SIG$sig during zero -> 130" ||
        fail "SIG$sig during zero exited $rc: $(cat sig.txt)"
    done
  fi
else
  echo "skip: loop device checks need root and a working losetup"
fi

smoke_end
