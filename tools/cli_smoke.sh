#!/usr/bin/env bash
# Smoke test of the vantor host, on disk files: first the checks both systems share, then
# (unless a RUNNER is given) what only Linux offers or needs: checksums, verify, mount,
# the questions before destroying data, progress output, and, as root, loop devices it
# makes itself, and signals. Every --json output must parse. With a RUNNER (the command
# that runs a Windows program here, such as "env WINEDEBUG=-all wine") the program is the
# Windows build, and the disk files are still made and judged on the Linux side, with
# sfdisk, mtools and cmp. What the library's own tests prove (image formats, refusals of
# damaged images, range checks) is not repeated here: only what the host adds to it.
# Usage: cli_smoke.sh PATH/TO/vantor [RUNNER...]
set -euo pipefail
exe=$(realpath "${1:?usage: cli_smoke.sh PATH/TO/vantor [RUNNER...]}")
shift
runner=("$@")
vantor() { "${runner[@]}" "$exe" "$@"; }
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
loops=()
cleanup() {
  [ -d "$work/served" ] && { fusermount3 -u "$work/served" 2>/dev/null || umount -l "$work/served" 2>/dev/null || true; }
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"   # relative paths from here on: the host (and Wine) must resolve them against this directory
export MTOOLS_SKIP_CHECK=1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# smoke_end: the verdict, as the exit status.
smoke_end() {
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "all checks passed"
  exit 0
}

# expect STATUS PATTERN [OUT] -- ARGS...: runs vantor ARGS, checks its exit status, that its
# standard error matches the extended regex PATTERN (empty: anything) and its standard
# output the basic regex OUT (when given). Line ends are made Unix ones.
expect() {
  local status=$1 pattern=$2 out="" rc=0
  shift 2
  [ "$1" = -- ] || { out=$1; shift; }
  shift
  vantor "$@" >out.raw 2>err.raw </dev/null || rc=$?
  tr -d '\r' <out.raw >out.txt
  tr -d '\r' <err.raw >err.txt
  if [ "$rc" -ne "$status" ] || { [ -n "$pattern" ] && ! grep -qE "$pattern" err.txt; }; then
    fail "vantor $* exited $rc, expected $status and /$pattern/ on standard error"; sed 's/^/    /' err.txt >&2
  elif [ -n "$out" ] && ! grep -q -- "$out" out.txt; then
    fail "vantor $*: no /$out/ on standard output"; sed 's/^/    /' out.txt >&2
  else
    pass "vantor $* -> $rc"
  fi
}

files_digest() {  # files_digest DISK OFFSET: checksums of every file on the FAT volume
  rm -rf extract && mkdir extract
  mcopy -s -n -i "$1@@$2" '::/*' extract/ 2>/dev/null
  (cd extract && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}
same_files() {  # same_files DISK COPY OFFSET [COPY_OFFSET]: the FAT volumes hold the same files
  [ "$(files_digest "$1" "$3")" = "$(files_digest "$2" "${4:-$3}")" ] || fail "$2: files differ from $1 at $3"
}

"$here/../scripts/make-sample-disk.sh" sample.img >/dev/null
fat16=$((2048 * 512))
fat32=$((51200 * 512))

# --- a word that names no command is called unknown, and the commands are listed ---------
expect 2 'unknown command "frobnicate"; the commands are: list capture restore verify' -- frobnicate

# --- capture, info, restore to several targets at once ----------------------------------
expect 0 "" -- capture sample.img sample.vqi
expect 1 "^vantor: ERR_FILE_ACCESS \(6\): .*exists" -- capture sample.img sample.vqi
expect 0 "" '"complete":true' -- info --json sample.vqi
expect 0 "" -- restore --verify sample.vqi copy1.img copy2.img --size 64M
[ "$(grep -c '(verified)' out.txt)" -eq 2 ] || fail "restore: two verified targets expected"
[ "$(files_digest copy1.img $fat32 | wc -l)" -ge 5 ] || fail "restore: too few files extracted"
for offset in $fat16 $fat32; do same_files sample.img copy2.img $offset; done

# --- a disk image that is not a captured one: described, restored, verified as the library maps it ---
expect 0 "" "Partition table:    mbr" -- info sample.img
grep -q "fat32" out.txt || fail "info on a disk image: $(cat out.txt)"
expect 0 "" -- restore --verify sample.img raw1.img raw2.img --size 64M
[ "$(grep -c '(verified)' out.txt)" -eq 2 ] || fail "raw restore: two verified targets expected"
expect 0 "" -- restore --every-sector sample.img every.img --size 64M
cmp -s every.img sample.img || fail "restore --every-sector: not the same bytes"
expect 1 "too small for the source's volume" -- restore sample.img small-raw.img --size 32M
[ -e small-raw.img ] && fail "a refused raw restore left the disk file it created"
expect 1 "the source cannot be the target itself" -- restore sample.img ./sample.img
# A source the user may not write (immutable, as root passes permissions) is read all the same.
cp sample.img locked.img
if chattr +i locked.img 2>/dev/null; then
  expect 0 "" -- restore locked.img locked-copy.img --size 64M
  expect 0 "" -- capture locked.img locked.vqi
  chattr -i locked.img
fi
expect 0 "" -- verify sample.img raw1.img
head -c 1M /dev/urandom >random.bin
expect 1 "neither a captured image nor a disk image.*nothing was written" -- restore random.bin never.img --size 64M
[ -e never.img ] && fail "a refused restore of random bytes left the disk file it created"

# --- a compressed disk image: written as it is decompressed, verified, described ----------
xz -0 -T2 -c sample.img >sample.img.xz
gzip -1 -c sample.img >sample.img.gz
expect 0 "" "Compression:        xz" -- info sample.img.xz
expect 0 "" -- restore --verify sample.img.xz xz1.img xz2.img --size 64M
[ "$(grep -c '(verified)' out.txt)" -eq 2 ] || fail "xz restore: two verified targets expected"
expect 0 "" -- verify sample.img.gz xz1.img
zip -q -1 sample.zip sample.img && zip -q -0 stored.zip sample.img
zstd -q -1 -c sample.img >sample.img.zst
bzip2 -1 -c sample.img >sample.img.bz2
# Every kind gives the disk image's bytes; damaged in its middle, it is an error that
# leaves sector 0 of the drive as it was.
for stream in xz:sample.img.xz zstd:sample.img.zst bzip2:sample.img.bz2 zip:sample.zip zip:stored.zip; do
  kind=${stream%%:*} stream=${stream#*:}
  expect 0 "" -- restore --verify "$stream" "$stream.img" --size 64M
  cmp -s -n "$(stat -c %s sample.img)" sample.img "$stream.img" || fail "$stream: the disk file differs from the image"
  cp "$stream" "bad.$stream" && printf 'XY' | dd of="bad.$stream" bs=1 seek=300000 conv=notrunc status=none
  rm -f bad.img && truncate -s 64M bad.img
  expect 1 "The $kind-compressed image .* is damaged after" -- restore "bad.$stream" bad.img
  cmp -s -n 512 bad.img /dev/zero || fail "a damaged $stream: sector 0 was written"
done
if [ "${#runner[@]}" -eq 0 ]; then
  # A drive larger than the image keeps no old table's backup past what the stream wrote.
  truncate -s 96M oldgpt.img && sgdisk -o oldgpt.img >/dev/null
  expect 0 "" -- restore --force sample.img.xz oldgpt.img
  grep -q "erased an old GPT backup header at sector $((96 * 2048 - 1))" out.txt ||
    fail "compressed restore: the old GPT backup is not erased: $(cat out.txt)"
  [ "$(dd if=oldgpt.img bs=512 skip=$((96 * 2048 - 1)) count=1 status=none | head -c 8)" = "EFI PART" ] &&
    fail "compressed restore: the old GPT backup is still there"
  # gzip does not state the size past 4 GiB: the progress counts the bytes the stream gave.
  expect 0 "" '"bytesDone":67108864,"bytesTotal":67108864' -- restore --force --progress json sample.img.gz xz1.img
  printf 'XY' | dd of=sample.img.gz bs=1 seek=300000 conv=notrunc status=none
  expect 1 "The gzip-compressed image .* is damaged" -- restore --force sample.img.gz xz1.img
  grep -q "may be left partly written" err.txt || fail "a damaged stream's restore: the target is not said to be partly written"
fi

# --- a compressed captured image: smaller, read as it (the checksums: CompressedImageTest) --
expect 2 "level from 1 to 19" -- capture --compress=20 sample.img packed.vqi
expect 0 "" -- capture --compress sample.img packed.vqi
[ "$(stat -c %s packed.vqi)" -lt "$(stat -c %s sample.vqi)" ] || fail "capture --compress: not smaller than the plain image"
expect 0 "" -- info --check packed.vqi
expect 0 "" -- restore --verify packed.vqi packed1.img --size 64M

# --- names in any script: the arguments, the files and the output keep them ---------------
name="диск-磁盘"
expect 0 "" -- capture sample.img "$name.vqi"
expect 0 "" "$name.img" -- restore "$name.vqi" "$name.img" --size 64M
expect 0 "" -- capture "$name.img" "$name-2.vqi"
[ -s "$name-2.vqi" ] || fail "capture of $name.img: no image $name-2.vqi, but: $(ls)"

# --- refusals: what a failed or refused command leaves behind -----------------------------
truncate -s 1M blank.img
expect 1 "^vantor: ERR_" -- capture --fat-only blank.img failed.vqi
ls failed.vqi* >/dev/null 2>&1 && fail "a failed capture left $(ls failed.vqi*)"
cp sample.vqi kept.vqi
expect 1 "^vantor: ERR_" -- capture --fat-only --force blank.img kept.vqi
cmp -s kept.vqi sample.vqi || fail "a failed capture --force damaged the image it was to replace"
# A FAT32 volume of 512-byte logical sectors on a drive of 4096-byte sectors: the FAT-only
# map cannot take it, and the failure says which volume and why; the default copies it whole.
truncate -s 64M big-sectors.img
mkfs.fat -F 32 -S 512 -C fat512.img $((62 * 1024)) >/dev/null
dd if=fat512.img of=big-sectors.img bs=4096 seek=256 conv=notrunc status=none
printf '\014\000\000\000\000\001\000\000\000\076\000\000' | dd of=big-sectors.img bs=1 seek=450 conv=notrunc status=none
printf '\125\252' | dd of=big-sectors.img bs=1 seek=510 conv=notrunc status=none
expect 1 "partition 1 .*512-byte sectors on a drive of 4096" -- capture --fat-only --sector-size 4096 big-sectors.img big.vqi
expect 0 "" "512-byte sectors on a drive of 4096, copied whole" -- capture --sector-size 4096 big-sectors.img big.vqi
expect 2 "given twice" -- restore sample.vqi new.img ./new.img --size 64M
# A decimal size is taken when it makes whole bytes and whole sectors, and refused otherwise.
expect 2 '"0.3K" is not a whole number of bytes' -- restore sample.vqi new.img --size 0.3K
expect 2 "multiple of the sector size" -- restore sample.vqi new.img --size 0.75K
[ -e new.img ] && fail "a refused restore left the disk file it created"  # any of the three above
expect 0 "" -- restore sample.vqi decimal.img --size 64.5M
# A target smaller than the volumes, allowed: a plain warning, not the library's record.
expect 0 "^vantor: warning: small.img holds 30.0 MiB, less than the 64.0 MiB" -- restore sample.vqi small.img --size 30M --allow-volume-too-large
grep -q "473" err.txt && fail "--allow-volume-too-large: $(cat err.txt)"
[ "$(stat -c %s decimal.img)" -eq $((129 * 512 * 1024)) ] || fail "--size 64.5M: $(stat -c %s decimal.img) bytes"
expect 1 "holds a captured image: that will be lost" -- zero kept.vqi
cmp -s kept.vqi sample.vqi || fail "an unconfirmed zero wrote an image"

# --- zero, partitions, boot key: the host reads the arguments as the library wants them ----
cp sample.img zero.img
expect 0 "" -- zero --force zero.img --range 0x800-0x8ff
cmp -s -i $((0x800 * 512)) -n $((256 * 512)) zero.img /dev/zero && cmp -s -n $((0x800 * 512)) zero.img sample.img &&
  cmp -s -i $((0x900 * 512)) zero.img sample.img || fail "zero: not exactly sectors 800h-8ffh zeroed"
cp sample.img parts.img
expect 0 "" -- partitions parts.img backup
expect 2 "numbered from 1" -- partitions parts.img select 0
expect 0 "" -- partitions parts.img select 2
sfdisk -d parts.img 2>/dev/null | grep -q 'start= *51200.*type=c, bootable' || fail "select 2: not the FAT32 entry"
expect 0 "" '^  2  *0x0c FAT32' -- partitions parts.img show
expect 1 "\"sample.img.xz\" is a disk image compressed with xz, which partitions cannot read in place: decompress it first; nothing was written" -- partitions sample.img.xz backup
{ head -c 100 /dev/zero; printf 'VRK\001\000'; head -c 895 /dev/zero; } >loader.bin
head -c 5000 /dev/urandom >payload.bin
truncate -s 8M key.img
expect 0 "" '+0  "VRK" ' -- bootkey key.img format --help
expect 0 "" -- bootkey key.img format --loader loader.bin --payload payload.bin --reserved 4
cmp -s -i 0:$((6 * 512)) -n 5000 payload.bin key.img || fail "bootkey: payload not at sector 6, after 4 reserved"

# --- two runs, one disk file: the first holds its lock while it waits at the question ----
cp sample.img busy.img
mkfifo answer
vantor zero busy.img <answer >/dev/null 2>asking.txt &
asking=$!
exec 3>answer
for _ in $(seq 100); do grep -q 'Type "yes"' asking.txt && break; sleep 0.1; done
expect 1 "^vantor: ERR_FILE_ACCESS \(6\): disk file .*busy.img is locked" -- restore sample.vqi busy.img
(echo no >&3) 2>/dev/null || true  # in a subshell: a reader already gone raises SIGPIPE there
exec 3>&-
wait "$asking" || true
cmp -s busy.img sample.img || fail "a refused second writer changed the file"

[ ${#runner[@]} -eq 0 ] || smoke_end  # the Windows program: the checks both systems share, no more

# --- a GPT disk: every volume taken (FAT32 mapped, a swap copied whole); the MBR backup
# refused on it (DriveLayoutsTest restores such disks onto bigger and smaller ones) -------
truncate -s 96M gpt.img
sgdisk -o gpt.img >/dev/null && sgdisk -n 1:2048:+40M -t 1:EF00 -n 2:0:+8M -t 2:8200 gpt.img >/dev/null
mkfs.fat -F 32 -s 1 --offset 2048 gpt.img 81920 >/dev/null 2>&1
mcopy -i gpt.img@@$((2048 * 512)) sample.img ::/disk.bin
expect 0 "" "partition 1 (type EFI System, 40.0 MiB): fat32, .* used sectors taken" -- capture gpt.img gpt.vqi
grep -q "partition 2 .*: no file system recognised, copied whole" out.txt || fail "capture: $(cat out.txt)"
expect 1 "holds a GPT" -- partitions --force gpt.img backup
expect 0 "" "EFI System" -- partitions gpt.img show
# A boot key laid over a GPT disk replaces the table: neither GPT header is left.
cp gpt.img gptkey.img
expect 0 "" -- bootkey gptkey.img format --loader loader.bin --payload payload.bin --force
[ "$(blkid -p -o value -s PTTYPE gptkey.img)" != gpt ] && [ "$(tail -c 512 gptkey.img | head -c 8)" != "EFI PART" ] ||
  fail "bootkey over a GPT: $(blkid -p gptkey.img; cat out.txt)"

# --- info's required capacity is what restore needs: a disk whose table is empty ----------
truncate -s 4M empty.img
echo 'label: dos' | sfdisk -q empty.img
expect 0 "" -- capture empty.img empty.vqi
expect 0 "" -- info empty.vqi
need=$(sed -n 's/^Required capacity: *\([0-9]*\) bytes.*/\1/p' out.txt)
expect 1 "beyond the drive capacity" -- restore empty.vqi short.img --size $((need - 512))
expect 0 "" -- restore empty.vqi enough.img --size "$need"

# --- checksums: a flipped bit is found by info --check and refused by restore ---------------
size=$(stat -c %s sample.vqi)
for offset in 0 20 94 $((size / 2)) $((size - 1)); do
  cp sample.vqi flipped.vqi
  cp sample.vqi.sums flipped.vqi.sums
  byte=$(od -An -tu1 -j "$offset" -N1 flipped.vqi | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 4)))" | dd of=flipped.vqi bs=1 seek="$offset" conv=notrunc status=none
  rc=0; vantor info --check flipped.vqi >/dev/null 2>&1 || rc=$?
  rc2=0; vantor restore flipped.vqi flipped.img flipped2.img --size 64M >/dev/null 2>&1 || rc2=$?
  [ "$rc$rc2" = 11 ] && [ ! -e flipped.img ] && [ ! -e flipped2.img ] ||
    fail "a bit flipped at byte $offset: info --check $rc, restore $rc2"
done
# Into new files the restore checks while it writes and removes them again (above); over a
# disk file that holds data the image is refused before anything is written.
cp copy1.img existing.img
disagree="disagree \(at run [0-9]+ chunk [0-9]+\): the image is damaged, or the checksum file belongs to another image"
expect 1 "$disagree: nothing was written" -- restore flipped.vqi existing.img
cmp -s existing.img copy1.img || fail "a damaged image changed an existing disk file"
# verify never writes: its refusal of a damaged image says only what is wrong.
expect 1 "$disagree\$" -- verify flipped.vqi copy1.img
grep -q "nothing was written" err.txt && fail "verify: $(cat err.txt)"
ls ./*.partial-* >/dev/null 2>&1 && fail "captures left $(ls ./*.partial-*)"

# --- a checksum file that is not the image's own: said so, and --ignore-sums (asked) restores
cp sample.vqi other.vqi && cp empty.vqi.sums other.vqi.sums
expect 1 "disagree \(at its size\).*belongs to another image: nothing was written" -- restore other.vqi existing.img
expect 1 "ERR_ABORTED" -- restore --ignore-sums other.vqi existing.img
cmp -s existing.img copy1.img || fail "an unconfirmed --ignore-sums wrote"
expect 0 "" -- restore --ignore-sums --force --verify other.vqi existing.img
expect 0 "" -- verify --ignore-sums other.vqi existing.img
: >other.vqi.sums
expect 0 "unusable: it is empty or cannot be read" "Contents: *complete" -- info other.vqi
expect 1 "other.vqi.sums is unusable: it is empty or cannot be read: nothing was written" -- restore other.vqi existing.img
grep -qi "damaged" err.txt && fail "an emptied checksum file called the image damaged: $(cat err.txt)"
cp sample.vqi.sums other.vqi.sums
printf '\001' | dd of=other.vqi.sums bs=1 seek=60 conv=notrunc status=none
expect 1 "unusable: its own digest does not match" -- verify other.vqi copy1.img

# --- verify: every target at once, nothing written; a changed sector is found in its chunk
expect 0 "" -- verify sample.vqi copy1.img copy2.img
[ "$(grep -c 'matches the image' out.txt)" -eq 2 ] || fail "verify: two matching targets expected"
printf '\x5a' | dd of=copy2.img bs=1 seek=$((fat32 + 3)) conv=notrunc status=none
cp copy2.img changed.img
expect 1 "ERR_VERIFY_MISMATCH \(5\): .*LBA $(printf '%08X' $((fat32 / 512)))h" -- verify --progress=json sample.vqi copy2.img
# Every line of its output is a JSON object, the last one with the outcome "error".
python3 -c 'import json
assert [json.loads(line) for line in open("out.txt").read().splitlines()][-1]["outcome"] == "error"' 2>/dev/null ||
  fail "verify --progress=json: $(cat out.txt)"
cmp -s copy2.img changed.img || fail "verify wrote to its target"

# --- mount: the image as read-only raw disk files ---------------------------------------
if vantor mount --help >/dev/null 2>&1 && [ -c /dev/fuse ] && command -v fusermount3 >/dev/null; then
  mkdir served
  # serve IMAGE FILE: vantor mount IMAGE in the background (its standard error in serve.txt),
  # until served/FILE is there; unserve: the mount ends, and must end cleanly unless told.
  serve() {
    "$exe" mount "$1" served 2>serve.txt &
    mounter=$!
    for _ in $(seq 300); do [ -e "served/$2" ] && break; sleep 0.1; done  # 30 s for a loaded machine
  }
  unserve() {
    fusermount3 -u served 2>/dev/null || [ "${1:-}" = any ] || fail "fusermount3 -u served failed"
    wait "$mounter" || [ "${1:-}" = any ] || fail "vantor mount did not end cleanly after fusermount3 -u"
  }
  serve sample.vqi part2.img
  same_files sample.img served/part2.img $fat32 0
  fsck.fat -n served/part1.img >/dev/null 2>&1 || fail "mount: fsck.fat -n finds faults in part1.img"
  : 2>/dev/null >>served/disk.img && fail "mount: disk.img opened for writing"
  unserve
  # A folder that holds something is refused before mounting; a damaged image is served with a warning.
  mkdir -p notempty && : >notempty/kept
  expect 1 "\"notempty\" is not empty: mount needs an empty directory" -- mount sample.vqi notempty
  serve flipped.vqi disk.img
  unserve any
  grep -q "^vantor: warning: flipped.vqi: the image and its checksum file disagree" serve.txt ||
    fail "mount of a damaged image: $(cat serve.txt)"
  # A disk image that is not a captured one is served as it is; a compressed one is refused.
  serve sample.img part2.img
  cmp -s served/disk.img sample.img || fail "mount of a disk image: disk.img is not the disk image"
  fsck.fat -n served/part2.img >/dev/null 2>&1 || fail "mount of a disk image: fsck.fat -n finds faults in part2.img"
  unserve
  expect 1 "\"sample.img.xz\" is a disk image compressed with xz, which mount cannot read in place" -- mount sample.img.xz served
else
  echo "skip: vantor mount (no FUSE here)"
fi

# --- what the host will not write unasked -------------------------------------------------
cp sample.vqi saved.vimg
expect 1 "^vantor: ERR_ABORTED \(16\): .*captured image: --yes does not answer" -- zero -y saved.vimg
cp sample.img data.img
expect 1 "holds data where the zeros go" -- zero data.img --range 0-0
cmp -s data.img sample.img && cmp -s saved.vimg sample.vqi || fail "a refused zero wrote a file"
expect 1 "data.img holds data \(a non-zero byte at offset [0-9]+\): --yes does not answer" -- restore -y sample.vqi data.img
expect 1 "data.img holds data \(a non-zero byte at offset [0-9]+\): --yes does not answer" -- \
  bootkey data.img format --loader loader.bin --payload payload.bin -y
cmp -s data.img sample.img || fail "a refused restore or boot key wrote a disk file that held data"
expect 0 "" -- restore --force sample.vqi data.img
head -c 512 /dev/urandom | dd of=data.img bs=512 seek=2 conv=notrunc status=none
cp data.img sec2.img
expect 1 "^vantor: ERR_INVALID_ARGUMENT \(17\): sector 2 holds [0-9]+ non-zero bytes of other data" -- partitions data.img backup
cmp -s data.img sec2.img || fail "a refused backup wrote sector 2"

# --- loop devices (root only) --------------------------------------------------------------
# Each new loop device goes into loops, which the EXIT trap detaches (a command
# substitution cannot add it there itself).
if [ "$(id -u)" -eq 0 ] && cp sample.img loop.img && loop=$(losetup -f --show loop.img 2>/dev/null); then
  loops+=("$loop")
  # The listing: both loop devices as virtual disks that open, only the read-only one flagged.
  if ro=$(losetup -r -f --show sample.img 2>/dev/null); then
    loops+=("$ro")
    expect 0 "" -- list --virtual --json
    python3 -c 'import json, sys
drives = {d["device"]: d for d in json.load(open("out.txt"))}
rw, ro = drives[sys.argv[1]], drives[sys.argv[2]]
assert not rw["readOnly"] and ro["readOnly"] and rw["openError"] is None and ro["mountPoints"] == [], drives' \
      "$loop" "$ro" 2>/dev/null || fail "list --virtual --json: $(cat out.txt)"
    expect 0 "" -- list --virtual
    grep -qE "^$ro .*\(read-only\)" out.txt || fail "list: $ro not shown read-only: $(cat out.txt)"
  fi
  expect 1 "file behind the loop device" -- capture --force "$loop" loop.img
  expect 1 "in use by the loop device $loop" -- zero --force loop.img
  expect 0 "" -- zero -y "$loop" --range 0-0
  # Only sector 0 differs from the sample: the refused commands above wrote nothing either.
  cmp -s -n 512 loop.img /dev/zero && cmp -s -i 512 loop.img sample.img || fail "zero -y: not exactly sector 0"
  # Each signal goes to a stopped zeroing and is taken when it goes on, so the checks do
  # not depend on how fast the drive is written.
  truncate -s 4G slow.img
  if slow=$(losetup -f --show slow.img 2>/dev/null); then
    loops+=("$slow")
    for sig in INT TERM; do
      set -m  # job control: the background job gets SIGINT's default disposition, not SIG_IGN
      rm -f sigout.txt
      "$exe" zero -y "$slow" >sigout.txt 2>sig.txt &
      pid=$!
      set +m
      # Once it shows progress, its interrupt handling is in place (a slow start, as under
      # a sanitizer, must not meet the signal first).
      for _ in $(seq 200); do [ -s sigout.txt ] && break; sleep 0.05; done
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
