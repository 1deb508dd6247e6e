#!/usr/bin/env bash
# Smoke test of the vantor host on Linux: the checks both systems share
# (cli_smoke_common.sh), then what only this system offers or needs: checksums, verify,
# mount, refusals of special files, the questions before destroying data, the messages,
# and, as root, loop devices it makes itself. Every --json output must parse.
# Usage: cli_smoke.sh PATH/TO/vantor
set -euo pipefail
exe=$(realpath "${1:?usage: cli_smoke.sh PATH/TO/vantor}")
vantor() { "$exe" "$@"; }
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
loops=()
mounts=()
fuse_mounts=()
cleanup() {
  local loop mount
  for mount in "${fuse_mounts[@]}"; do fusermount3 -u "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null || true; done
  for mount in "${mounts[@]}"; do umount "$mount" 2>/dev/null || true; done
  for loop in "${loops[@]}"; do
    partx -d "$loop" 2>/dev/null || true
    losetup -d "$loop" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"   # relative paths from here on: the host must resolve them against this directory
source "$here/cli_smoke_common.sh"

# json_ok WHAT: out.txt parses as JSON.
json_ok() {
  python3 -c 'import json, sys; json.load(open(sys.argv[1]))' out.txt 2>/dev/null && pass "$1 is JSON" ||
    fail "$1: not JSON: $(cat out.txt)"
}

# json_lines WHAT OUTCOME [ERROR]: every line of out.txt is a JSON object; the last one,
# and the last of each target, carries the outcome OUTCOME (with the error name ERROR).
json_lines() {
  python3 -c 'import json, sys
objects = [json.loads(line) for line in open("out.txt").read().splitlines()]
ended = set()
for o in objects:
    assert isinstance(o, dict) and "percent" in o and o["target"] not in ended
    if "outcome" in o:
        assert o["outcome"] == sys.argv[1] and o.get("error", "") == sys.argv[2]
        ended.add(o["target"])
assert objects and "outcome" in objects[-1]' "$2" "${3:-}" 2>/dev/null &&
    pass "$1: JSON lines ending in $2" || fail "$1: not JSON lines ending in $2 ${3:-}: $(cat out.txt)"
}

expect 0 "" -- info --json sample.vqi
json_ok "info --json"
# Browsing an image: its table shows as the disk's does, and the free clusters of its
# FAT volumes are the ones mtools counts on the disk.
expect 0 "" -- partitions sample.vqi show
vantor partitions sample.img show >table.txt
cmp -s out.txt table.txt || fail "partitions show: the image's table differs from the disk's"
expect 0 "" -- info --map --json sample.vqi
json_ok "info --map --json"
while read -r slot offset; do
  free=$(mdir -i "sample.img@@$offset" :: | grep 'bytes free' | tr -dc 0-9)
  python3 -c 'import json, sys; v = json.load(open("out.txt"))["map"]["fatVolumes"][int(sys.argv[1])]
sys.exit(v["freeClusters"] * v["sectorsPerCluster"] * 512 != int(sys.argv[2]))' "$slot" "$free" ||
    fail "info --map: free clusters of slot $slot differ from mtools ($free bytes free)"
done <<<"0 $fat16
1 $fat32"
expect 0 "" -- info --map sample.vqi
grep -q "^FAT volumes:" out.txt || fail "info --map: no FAT volumes listed"


# --- checksums: every flipped bit is found by info --check and refused by restore --------
[ -s sample.vqi.sums ] || fail "capture wrote no checksum file"
expect 0 "" -- info --check sample.vqi
grep -q "Checksums: *intact" out.txt || fail "info --check: not intact"
size=$(stat -c %s sample.vqi)
for offset in 0 5 9 17 25 33 37 45 70 89 90 94 96 $((90 + 8 + 700)) $((size / 2)) $((size - 1)); do
  cp sample.vqi flipped.vqi
  cp sample.vqi.sums flipped.vqi.sums
  byte=$(od -An -tu1 -j "$offset" -N1 flipped.vqi | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 4)))" | dd of=flipped.vqi bs=1 seek="$offset" conv=notrunc status=none
  rc=0; vantor info --check flipped.vqi >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 1 ] || fail "a bit flipped at byte $offset: info --check exited $rc"
  rc=0; vantor restore flipped.vqi flipped.img --size 64M >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 1 ] || fail "a bit flipped at byte $offset: restore exited $rc"
  [ -e flipped.img ] && fail "a bit flipped at byte $offset: restore made its target"
  rm -f flipped.img
done
pass "flipped bits are found and refused"

# --- verify: every target at once, nothing written; a changed sector is found in its chunk
expect 0 "" -- verify sample.vqi copy1.img copy2.img
[ "$(grep -c 'matches the image' out.txt)" -eq 2 ] || fail "verify: two matching targets expected"
printf '\x5a' | dd of=copy2.img bs=1 seek=$((fat32 + 3)) conv=notrunc status=none
cp copy2.img changed.img
expect 1 "^vantor: .*ERR_VERIFY_MISMATCH \(5\): .*Data mismatch during verification of sector chunk starting at LBA $(printf '%08X' $((fat32 / 512)))h" -- verify sample.vqi copy1.img copy2.img
cmp -s copy2.img changed.img || fail "verify wrote to its target"
truncate -s 8M small-verify.img
expect 1 "^vantor: .*ERR_VOLUME_TOO_LARGE \(7\): " -- verify sample.vqi small-verify.img

# --- mount: the image as read-only raw disk files, never written ---------------------------
if vantor mount --help >/dev/null 2>&1 && [ -c /dev/fuse ] && command -v fusermount3 >/dev/null; then
  cp sample.vqi before-mount.vqi
  mkdir served
  fuse_mounts+=("$work/served")
  "$exe" mount sample.vqi served 2>mount-err.txt &
  mounter=$!
  for _ in $(seq 50); do [ -e served/part2.img ] && break; sleep 0.1; done
  for part in 1 2; do
    offset=$([ $part = 1 ] && echo $fat16 || echo $fat32)
    [ "$(files_digest served/part$part.img 0)" = "$(files_digest sample.img $offset)" ] || fail "mount: files of part$part differ"
    fsck.fat -n served/part$part.img >/dev/null 2>&1 || fail "mount: fsck.fat -n finds faults in part$part.img"
  done
  [ -w served/disk.img ] && [ "$(id -u)" -ne 0 ] && fail "mount: disk.img is writable"
  : >>served/disk.img 2>/dev/null && fail "mount: disk.img opened for writing"
  fusermount3 -u served
  wait "$mounter" || fail "mount: vantor mount did not end cleanly after fusermount3 -u"
  cmp -s sample.vqi before-mount.vqi || fail "mount: the image changed"
  pass "mount serves the disk and its partitions read-only"
else
  echo "skip: vantor mount (no FUSE here)"
fi

expect 2 "" -- partitions copy1.img select
expect 2 "" -- partitions copy1.img explode

expect 1 "^vantor: ERR_FILE_ACCESS \(6\): .*not a regular file" -- capture --force sample.img /dev/null
[ -c /dev/null ] || fail "/dev/null is no longer a character device"
mkfifo pipe.vqi
expect 1 "^vantor: ERR_FILE_ACCESS \(6\): .*not a regular file" -- capture --force sample.img pipe.vqi
ln -s /dev/null null-link.vqi
expect 1 "^vantor: ERR_FILE_ACCESS \(6\): .*not a regular file" -- capture --force sample.img null-link.vqi
[ -p pipe.vqi ] && [ -L null-link.vqi ] && [ -c /dev/null ] || fail "capture replaced a FIFO or a link"
expect 1 "^vantor: ERR_FILE_ACCESS \(6\): .*not a regular file" -- restore pipe.vqi copy1.img

# --- zero -------------------------------------------------------------------------------
expect 1 "^vantor: ERR_INVALID_ARGUMENT \(17\): .*past the last sector" -- zero zero.img --range 0-131072

# --- partitions -------------------------------------------------------------------------
cp sample.img parts.img
expect 0 "" -- partitions parts.img show
grep -q "No backup partitions" out.txt || fail "partitions show: unexpected backup"
expect 0 "" -- partitions parts.img backup
expect 2 "out of range" -- partitions parts.img select 0x100000000
expect 2 "does not exist" -- partitions parts.img select 4
expect 0 "" -- partitions parts.img select 1
expect 1 "^vantor: ERR_INVALID_ARGUMENT \(17\): .*selection" -- partitions parts.img backup
expect 0 "" -- partitions parts.img select-type 0x0e
sfdisk -d parts.img | grep -q 'start= *2048.*type=e, bootable' || fail "select-type 0x0e: FAT16 entry expected"
expect 0 "" -- partitions parts.img select-type all
expect 0 "" -- partitions parts.img show --json
json_ok "partitions show --json"
grep -q '"backupMatchesMBR":true' out.txt || fail "show --json: backup should match after select-type all"

# --- boot key ---------------------------------------------------------------------------
expect 1 "^vantor: ERR_INVALID_BOOT_LOADER \(13\): " -- bootkey key.img format --loader payload.bin --payload payload.bin
expect 2 "" -- bootkey key.img format --loader loader.bin
expect 0 "" -- bootkey --force key.img reset
cmp -s -n $((1024 * 512)) key.img /dev/zero || fail "bootkey reset: first 1024 sectors not zero"

# --- what the host will not destroy unasked ------------------------------------------------
cp sample.vqi saved.vimg
expect 1 "^vantor: ERR_ABORTED \(16\): .*captured image: --yes does not answer" -- zero -y saved.vimg
expect 1 "^vantor: ERR_ABORTED \(16\): .*captured image: --yes does not answer" -- bootkey -y saved.vimg reset
cp sample.vqi large.vimg
truncate -s 64M large.vimg
expect 1 "^vantor: ERR_ABORTED \(16\): .*captured image" -- restore -y sample.vqi large.vimg
cmp -s -n "$(stat -c %s sample.vqi)" large.vimg sample.vqi && cmp -s saved.vimg sample.vqi && pass "a captured image target was left whole" || fail "a refused command wrote the image"
rc=0; printf 'yes\n' | vantor zero saved.vimg --range 0-0 >out.txt 2>err.txt || rc=$?
[ "$rc" -eq 0 ] && cmp -s -n 512 saved.vimg /dev/zero && pass "typed yes zeroes an image" || fail "typed yes exited $rc"
expect 0 "" -- zero --force saved.vimg
cmp -s -n $(($(stat -c %s saved.vimg) / 512 * 512)) saved.vimg /dev/zero || fail "zero --force left data in the image"
cp sample.img data.img
expect 1 "holds data where the zeros go" -- zero data.img --range 0-0
cmp -s data.img sample.img || fail "a refused zero wrote a disk file holding data"
truncate -s 1M blank2.img
expect 0 "" -- zero blank2.img
expect 0 "" -- zero data.img --range 2-3
cmp -s data.img sample.img || fail "zeroing sectors that were zero changed the file"
truncate -s 100000 tiny.img
expect 1 "^vantor: ERR_INVALID_ARGUMENT \(17\): .*100000 bytes, less than the 524288" -- bootkey --force tiny.img reset
[ "$(stat -c %s tiny.img)" -eq 100000 ] || fail "bootkey reset grew a disk file to $(stat -c %s tiny.img) bytes"

# Sector 2 that holds other data is no place for a backup of the partitions.
cp sample.img sec2.img
head -c 512 /dev/urandom | dd of=sec2.img bs=512 seek=2 conv=notrunc status=none
cp sec2.img sec2-before.img
expect 1 "^vantor: ERR_INVALID_ARGUMENT \(17\): sector 2 holds [0-9]+ non-zero bytes of other data \(from byte" -- partitions sec2.img backup
cmp -s sec2.img sec2-before.img || fail "a refused backup wrote sector 2"
expect 0 "" -- partitions --force sec2.img backup
[ "$(dd if=sec2.img bs=1 skip=1024 count=13 status=none)" = "VRK-MBR-PARTS" ] || fail "backup --force: no backup in sector 2"

# --- what the host says ----------------------------------------------------------------------
cp sample.img zero.img
expect 0 "" -- zero --force zero.img --range 10-20 --range 15-30 --range 30-30
grep -q "^Zeroed 21 sectors" out.txt || fail "overlapping ranges: $(cat out.txt)"
# Messages that say what was found where.
cp sample.vqi zss.vqi
printf '\0\0\0\0' | dd of=zss.vqi bs=1 seek=16 conv=notrunc status=none
expect 1 "^vantor: ERR_INVALID_IMAGE_FILE \(11\): .*gives 0-byte sectors in its header \(field sectorSize\)" -- restore zss.vqi zss.img --size 64M
[ -e zss.img ] && fail "a refused restore left the disk file it was to create"
truncate -s 64M fat4k.img
echo 'start=2048, type=e' | sfdisk -q fat4k.img
truncate -s 63M fat4k-part.img
mkfs.fat -F 16 -S 4096 -s 1 fat4k-part.img >/dev/null
dd if=fat4k-part.img of=fat4k.img bs=512 seek=2048 conv=notrunc status=none
expect 1 "^vantor: ERR_GENERAL \(1\): Sector Size Mismatch: partition 1 \(slot 0, type 0x0e, from sector 2048\) is a FAT volume of 4096-byte logical sectors" -- capture fat4k.img fat4k.vqi
expect 1 "^vantor: ERR_VOLUME_TOO_LARGE \(7\): " -- restore --allow-volume-too-large sample.vqi small.img
grep -q "partly written" err.txt && fail "a restore refused before writing said the target may be partly written"
expect 1 "^vantor: ERR_INVALID_IMAGE_FILE \(11\): " -- restore cut.vqi cut-target.img --size 64M
grep -q "partly written" err.txt && fail "a truncated image's refusal said the target may be partly written"

# Without a terminal, each progress line names its operation, at most one per tenth.
expect 0 "" -- restore sample.vqi p1.img p2.img p3.img --size 64M
for t in p1 p2 p3; do
  n=$(grep -c "^restore -> $t.img " out.txt || true)
  [ "$n" -ge 1 ] && [ "$n" -le 12 ] || fail "progress of $t.img: $n lines"
done
[ "$(grep -cvE '^(restore -> p[123]\.img |Restored )' out.txt)" -eq 0 ] || fail "unlabelled progress lines: $(cat out.txt)"

# With --progress=json standard output holds JSON lines only, the last one the outcome.
expect 0 "" -- capture --progress=json sample.img json.vqi
json_lines "capture --progress=json" finished
expect 0 "^Restored " -- restore --progress=json sample.vqi json1.img json2.img --size 64M
json_lines "restore --progress=json" finished
expect 1 "^vantor: .*ERR_VERIFY_MISMATCH \(5\): " -- verify --progress=json sample.vqi copy2.img
json_lines "verify --progress=json" error ERR_VERIFY_MISMATCH
expect 0 "" -- zero --force --progress=json json1.img --range 0-0
json_lines "zero --progress=json" finished
expect 2 "" -- zero --progress=fancy json1.img

# --- list ----------------------------------------------------------------------------------
expect 0 "" -- list --all --json
json_ok "list --all --json"

# --- loop devices (root only) --------------------------------------------------------------
# attach FILE: prints a new loop device over FILE; the caller adds it to loops, which the
# EXIT trap detaches (a command substitution cannot add it itself).
attach() { losetup -f --show "$1" 2>/dev/null; }
loop=
if [ "$(id -u)" -eq 0 ] && cp sample.img loop.img && loop=$(attach loop.img); then
  loops+=("$loop")
  before=$(sha256sum <loop.img)
  expect 1 "^vantor: ERR_ABORTED \([0-9]+\): " -- zero "$loop"
  [ "$(sha256sum <loop.img)" = "$before" ] || fail "a refused zero wrote the loop device"
  expect 2 "file behind the loop device" -- capture --force "$loop" loop.img
  ln -s "$loop" loop-link
  expect 2 "given twice" -- restore -y sample.vqi "$loop" loop-link
  cp sample.vqi backing.vqi
  if image_loop=$(attach backing.vqi); then
    loops+=("$image_loop")
    expect 2 "backed by the image" -- restore -y backing.vqi "$image_loop"
  fi
  [ "$(sha256sum <loop.img)" = "$before" ] || fail "a refused command wrote the loop device"
  if [ -n "${image_loop:-}" ]; then
    expect 1 "captured image: --yes does not answer" -- zero -y "$image_loop" --range 0-0
    cmp -s backing.vqi sample.vqi || fail "zero -y wrote a loop device holding an image"
  fi
  # A drive that cannot be opened is listed with the reason; the others still are. In a
  # mount namespace of its own, the node of a loop device made here is remounted nodev,
  # so that opening it is refused.
  if unshare -m true 2>/dev/null && closed=$(attach sample.img); then
    loops+=("$closed")
    rc=0
    unshare -m sh -c 'mount --make-rprivate / && mount --bind "$1" "$1" && mount -o remount,bind,nodev "$1" &&
                      exec "$2" list --virtual' sh "$closed" "$exe" >out.txt 2>err.txt || rc=$?
    [ "$rc" -eq 0 ] && pass "list with a drive that cannot be opened -> 0" || fail "list exited $rc: $(cat err.txt)"
    grep -qE "^$closed .*cannot be opened: Permission denied" out.txt || fail "list: $closed: $(cat out.txt)"
    grep "^$loop " out.txt | grep -qv "cannot be opened" || fail "list: $loop missing: $(cat out.txt)"
  else
    echo "skip: unshare is unavailable: listing a drive that cannot be opened not tried"
  fi
  # The listing and the partitions view name each volume's file system and label.
  truncate -s 64M vols.img
  printf 'label: dos\n2048,32768,c\n34816,32768,83\n' | sfdisk -q vols.img
  if vols=$(losetup -f --show -P vols.img 2>/dev/null); then
    loops+=("$vols")
    [ -e "${vols}p1" ] || partx -a "$vols" 2>/dev/null || true
    if mkfs.fat -n PHOTOS "${vols}p1" >/dev/null 2>&1 && mkfs.ext2 -q -F -L DATA "${vols}p2" >/dev/null 2>&1; then
      expect 0 "" -- list --virtual
      grep -qE "^$vols .*, vfat 'PHOTOS', ext2 'DATA'" out.txt || fail "list: file systems of $vols: $(cat out.txt)"
      expect 0 "" -- list --virtual --json
      json_ok "list --virtual --json"
      expect 0 "" -- partitions "$vols" show
      grep -qE "^  0 .*${vols}p1 vfat 'PHOTOS'$" out.txt && grep -qE "^  1 .*${vols}p2 ext2 'DATA'$" out.txt ||
        fail "partitions show: file systems of $vols: $(cat out.txt)"
      expect 0 "" -- partitions "$vols" show --json
      json_ok "partitions $vols show --json"
    else
      echo "skip: no partition nodes for $vols: file-system names in the listing not tried"
    fi
  fi

  # A disk file behind a loop device is that device's medium, mounted or not.
  truncate -s 64M e2.img
  mkfs.ext2 -q -F e2.img
  if e2loop=$(attach e2.img); then
    loops+=("$e2loop")
    mkdir mnt
    if mount "$e2loop" mnt 2>/dev/null; then
      mounts+=("$work/mnt")
      expect 1 "^vantor: ERR_DISMOUNT_FAILED \([0-9]+\): disk file .*e2.img is in use by the loop device $e2loop \(mounted at" -- restore sample.vqi e2.img
      umount mnt
    else
      echo "skip: mount is unavailable: restore onto a file behind a mounted loop device not tried"
    fi
    expect 1 "in use by the loop device $e2loop" -- zero --force e2.img
    cmp -s -n 512 e2.img /dev/zero || fail "a refused restore wrote an MBR into the file behind $e2loop"
    e2fsck -fn e2.img >/dev/null 2>&1 || fail "a refused command damaged the file system behind $e2loop"
  fi
  expect 0 "" -- zero -y "$loop" --range 0-0
  cmp -s -n 512 loop.img /dev/zero || fail "zero -y: sector 0 of the loop device not zero"
  cmp -s -i 512 loop.img sample.img || fail "zero -y: sectors after 0 changed"

  truncate -s 4G slow.img
  if slow=$(attach slow.img); then
    loops+=("$slow")
    # Each signal goes to a stopped zeroing and is taken when it goes on, so the checks do
    # not depend on how fast the drive is written.
    set -m  # job control: the background job gets SIGINT's default disposition, not SIG_IGN
    "$exe" zero -y "$slow" >/dev/null 2>sig.txt &
    pid=$!
    set +m
    sleep 0.3
    kill -STOP "$pid"; kill -INT "$pid"; kill -CONT "$pid"
    rc=0
    wait "$pid" || rc=$?
    [ "$rc" -eq 130 ] && grep -q "interrupted" sig.txt && pass "SIGINT during zero -> 130" ||
      fail "SIGINT during zero exited $rc: $(cat sig.txt)"
    # Without job control the shell starts it with SIGINT ignored: that stays so, SIGTERM still ends it.
    "$exe" zero -y "$slow" >/dev/null 2>sig.txt &
    pid=$!
    sleep 0.3
    kill -STOP "$pid"; kill -INT "$pid"; kill -CONT "$pid"
    sleep 0.05
    kill -STOP "$pid" 2>/dev/null
    kill -0 "$pid" 2>/dev/null && pass "inherited SIG_IGN for SIGINT kept" || fail "an ignored SIGINT ended zero"
    kill -TERM "$pid" 2>/dev/null || true
    kill -CONT "$pid" 2>/dev/null || true
    rc=0
    wait "$pid" || rc=$?
    [ "$rc" -eq 130 ] && pass "SIGTERM during zero -> 130" || fail "SIGTERM during zero exited $rc: $(cat sig.txt)"
  fi
else
  echo "skip: loop device checks need root and a working losetup"
fi

smoke_end
