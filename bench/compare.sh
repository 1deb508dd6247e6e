#!/usr/bin/env bash
# Side-by-side timing of vantor against the usual tools on the same data: a 1 GiB disk
# with one FAT32 volume about half full of large random files.
#
# File mode (the disk is a disk file):
#   vantor capture (plain, and --compress beside zstd -3 of the plain image's size),
#   vantor restore --verify, vantor restore (into a new disk file, and over
#   an existing one),
#   dd bs=128k copying as many bytes as the image holds used bytes,
#   partclone.fat32 -c (capture) and -r (restore) of the same volume, taken out to a
#   file of its own (partclone works on files),
#   the checksum sidecar's pass alone (vantor info --check, warm and cold; cold as a share
#   of a restore), and vantor verify beside cmp of the same used bytes.
# Device mode (as root; the same disk behind a loop device, as a USB key or card would be):
#   vantor capture /dev/loopN against dd iflag=direct at bs=128k and bs=1M,
#   vantor restore [--verify] onto a second loop device against dd oflag=direct bs=128k,
#   and against bench/readback_floor.cpp, the bare write and read-back of each 128 KiB
#   piece that any verified restore does at the least,
#   vantor verify of that device beside cmp of its used bytes,
#   every dd copying as many bytes as the image holds used bytes;
#   then the peak memory (maximum resident set size, /usr/bin/time -v) of a capture.
#   The script attaches both loop devices itself and detaches them on exit.
# Every run ends with an fsync of what it wrote (the image, the dd output, the loop
# device) inside its timing, and the page cache is dropped before each run when that is
# allowed (root); otherwise the runs are warm and the output says so.
# Slow-drive mode (SLOW_DRIVES="usb3-key usb2-key", as root): instead of the two above,
#   bench/slow_drives.sh: vantor on drives with the speed of USB keys and SD cards, each
#   operation against the drive's own limit (see there).
# Usage: bench/compare.sh [PATH/TO/vantor]   (default: builds build-quickstart/tools/vantor)
# Each figure is the median of REPEAT runs (default 5).
# Environment: BENCH_DIR (work directory; needs about 5 GiB free), FILL_MIB (default 512),
# REPEAT (default 5), DEVICE_MODE (auto: when root; 0 skips it), SLOW_DRIVES (the profiles
# of the slow-drive mode; unset: file and device modes).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
vantor=${1:-}
if [ -z "$vantor" ]; then
  # Always brought up to date, so that the figures are those of the checked-out sources.
  vantor="$repo/build-quickstart/tools/vantor"
  cmake -S "$repo" -B "$repo/build-quickstart" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF >/dev/null
  cmake --build "$repo/build-quickstart" --target vantor -j "$(nproc)" >/dev/null
fi
vantor=$(realpath "$vantor")
if [ -n "${SLOW_DRIVES:-}" ]; then
  exec bash "$repo/bench/slow_drives.sh" "$vantor"
fi
for tool in sfdisk mkfs.fat mcopy partclone.fat32 dd zstd; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done

device_mode=${DEVICE_MODE:-auto}
if [ "$device_mode" = auto ]; then
  device_mode=0
  [ "$(id -u)" -eq 0 ] && command -v losetup >/dev/null && device_mode=1
fi
if [ "$device_mode" = 1 ] && [ ! -x /usr/bin/time ]; then
  echo "compare.sh: /usr/bin/time is missing (run scripts/setup.sh)" >&2
  exit 1
fi

fill_mib=${FILL_MIB:-512}
work=$(mktemp -d "${BENCH_DIR:-/tmp}/vantor-compare.XXXXXX")
loops=()
cleanup() {
  # Only the loop devices this script attached, by name.
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$work"
export MTOOLS_SKIP_CHECK=1

cache_state=cold
# The data goes out of the cache, the programs come back in: loading vantor and its
# libraries from a cold system disk takes 10-50 ms here, a cost of starting a program,
# not of the transfer measured (dd, cmp and partclone are loaded likewise).
drop_caches() {
  sync
  if ! { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; then cache_state=warm; fi
  "$vantor" --help >/dev/null
  dd --help >/dev/null
  cmp --help >/dev/null
  partclone.fat32 -v >/dev/null 2>&1 || true
}

# timed NAME PREPARE OUTPUT COMMAND...: REPEAT times, evaluates PREPARE (untimed: removes
# the previous output), drops the cache (unless WARM=1), runs COMMAND then fsyncs OUTPUT
# (the file or device it wrote); records the median seconds (of every run under NAME
# within in_turn, below).
repeat=${REPEAT:-5}
declare -A seconds all_runs
timed() {
  local name=$1 prepare=$2 output=$3
  shift 3
  local start end
  [ "${in_turn_round:-1}" = 1 ] && all_runs[$name]=''
  last_timed=$name
  for _ in $(seq 1 "$repeat"); do
    eval "$prepare"
    if [ "${WARM:-0}" = 1 ]; then sync; else drop_caches; fi
    start=$(date +%s.%N)
    "$@" >"$work/run.log" 2>&1 || { echo "compare.sh: $name failed:" >&2; tail -20 "$work/run.log" >&2; exit 1; }
    sync "$output"
    end=$(date +%s.%N)
    all_runs[$name]+="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }') "
  done
  seconds[$name]=$(printf '%s\n' ${all_runs[$name]} | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  [ -n "${in_turn_round:-}" ] || printf '  %-32s %8.3f s   (runs: %s)\n' "$name" "${seconds[$name]}" "${all_runs[$name]}"
}

# in_turn FUNCTION...: REPEAT rounds, each calling every FUNCTION (one `timed` each) for
# one run, so that the runs compared with each other take turns and whatever the machine
# drifts through (its writeback above all) falls on each of them alike; then prints them.
in_turn() {
  local round f names=()
  for round in $(seq 1 "$repeat"); do
    for f in "$@"; do
      in_turn_round=$round repeat=1 "$f"
      [ "$round" = 1 ] && names+=("$last_timed")
    done
  done
  for f in "${names[@]}"; do printf '  %-32s %8.3f s   (runs: %s)\n' "$f" "${seconds[$f]}" "${all_runs[$f]}"; done
}

echo "Preparing a 1 GiB disk file with one FAT32 volume, ${fill_mib} MiB of random files (in $work)"
part_start=2048
disk_sectors=$((1024 * 1024 * 2))
part_sectors=$((disk_sectors - part_start))
truncate -s 1G disk.img
printf 'label: dos\nstart=%d, size=%d, type=c\n' $part_start $part_sectors | sfdisk --quiet disk.img
mkfs.fat -F 32 -n BENCH --offset $part_start disk.img $((part_sectors / 2)) 2>&1 >/dev/null | grep -v 'block count mismatch' >&2 || true
files=$((fill_mib / 64))
for i in $(seq 1 "$files"); do
  head -c 64M /dev/urandom >chunk.bin
  mcopy -i "disk.img@@$((part_start * 512))" chunk.bin "::/FILE$i.BIN"
done
rm -f chunk.bin
# The volume alone, for partclone.
dd if=disk.img of=volume.img bs=1M skip=$((part_start * 512 / 1048576)) status=none
sync

echo "vantor: $vantor"
echo "Timing, file mode (median of $repeat; each run ends with an fsync of its output; page cache $( { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null && echo 'dropped before each run' || echo 'NOT dropped: warm runs'))"
"$vantor" capture disk.img image.vqi >/dev/null
used=$("$vantor" info --json image.vqi | sed -n 's/.*"usedBytes":\([0-9]*\).*/\1/p')
image_bytes=$(stat -c %s image.vqi)
# The capture, the same capture compressed at the default level, and dd of as many bytes,
# in turn.
capture_file() { timed "vantor capture" "rm -f image.vqi" image.vqi "$vantor" capture disk.img image.vqi; }
capture_compressed() {
  timed "vantor capture --compress" "rm -f image-z.vqi" image-z.vqi "$vantor" capture --compress disk.img image-z.vqi
}
dd_file() {
  timed "dd bs=128k (used bytes)" "rm -f dd.img" dd.img dd if=disk.img of=dd.img bs=128k count="$used" iflag=count_bytes status=none
}
in_turn capture_file capture_compressed dd_file
rm -f dd.img
compressed_bytes=$(stat -c %s image-z.vqi)
zstd_bytes=$(zstd -q -3 -c image.vqi | wc -c)
rm -f image-z.vqi image-z.vqi.sums
timed "vantor restore --verify" "rm -f restored.img" restored.img "$vantor" restore --verify image.vqi restored.img --size 1G
timed "vantor restore" "rm -f restored.img" restored.img "$vantor" restore image.vqi restored.img --size 1G
# Onto a disk file that already exists the checksums are checked before anything is
# written (into a new one, by the digests of what was written): the same restore over the
# file just made (--force: it holds data, which a restore asks about).
timed "vantor restore (existing file)" "" restored.img "$vantor" restore --force image.vqi restored.img
timed "vantor restore --verify (existing file)" "" restored.img "$vantor" restore --verify --force image.vqi restored.img
# The checksum sidecar (IMAGE.sums). A capture digests each chunk as it reads it, so it has
# no pass of its own (its cost is inside the capture rows). A restore onto a target that
# holds data, and a verify, check the image first: `vantor info --check` is that pass
# alone, the same reading and hashing, from the medium (cold) and from the cache (warm).
WARM=1 timed "sums pass, warm" "" image.vqi "$vantor" info --check image.vqi
timed "sums pass, cold (restore's)" "" image.vqi "$vantor" info --check image.vqi
# Verifying a restored disk file: vantor verify (its sums pass included) beside cmp of
# the same used bytes.
timed "vantor verify" "" restored.img "$vantor" verify image.vqi restored.img
timed "cmp (used bytes)" "" restored.img cmp -n "$used" disk.img restored.img
rm -f restored.img
timed "partclone.fat32 -c" "rm -f volume.pc" volume.pc partclone.fat32 -q -c -s volume.img -O volume.pc -L "$work/partclone.log"
pc_bytes=$(stat -c %s volume.pc)
volume_bytes=$(stat -c %s volume.img)
rm -f volume.img
timed "partclone.fat32 -r" "rm -f volume.out; truncate -s $volume_bytes volume.out" volume.out \
  partclone.fat32 -q -r -s volume.pc -O volume.out -L "$work/partclone.log"
rm -f volume.out volume.pc

if [ "$device_mode" = 1 ]; then
  echo
  "${CXX:-c++}" -O2 -std=c++17 -o readback_floor "$repo/bench/readback_floor.cpp"
  # The source is attached read-only; the restore target is a second 1 GiB file.
  src=$(losetup --find --show --read-only disk.img)
  loops+=("$src")
  truncate -s 1G target.img
  dst=$(losetup --find --show target.img)
  loops+=("$dst")
  echo "Timing, device mode (median of $repeat): the disk behind $src, restores onto $dst"
  capture_device() {
    timed "vantor capture (device)" "rm -f image-dev.vqi" image-dev.vqi "$vantor" capture "$src" image-dev.vqi
  }
  dd_device() {
    timed "dd bs=$1 iflag=direct" "rm -f dd.img" dd.img \
      dd if="$src" of=dd.img bs="$1" count="$used" iflag=count_bytes,direct status=none
  }
  dd_device_128k() { dd_device 128k; }
  dd_device_1m() { dd_device 1M; }
  in_turn capture_device dd_device_128k dd_device_1m
  cmp -s image.vqi image-dev.vqi || { echo "compare.sh: the captures of the file and of $src differ" >&2; exit 1; }
  rm -f dd.img image-dev.vqi
  timed "vantor restore --verify (device)" "" "$dst" "$vantor" restore --verify image.vqi "$dst" --yes
  timed "vantor restore (device)" "" "$dst" "$vantor" restore image.vqi "$dst" --yes
  cmp -s -n "$used" disk.img "$dst" || { echo "compare.sh: $dst does not hold the disk after the restore" >&2; exit 1; }
  timed "dd bs=128k oflag=direct" "" "$dst" \
    dd if=disk.img of="$dst" bs=128k count="$used" iflag=count_bytes oflag=direct status=none
  # The least any verified restore costs here: each 128 KiB piece written and read back
  # (whole pages: the used bytes less under 4 KiB).
  timed "write + read-back floor" "" "$dst" ./readback_floor disk.img "$dst" $((used / 4096 * 4096))
  timed "vantor verify (device)" "" "$dst" "$vantor" verify image.vqi "$dst"
  timed "cmp (device, used bytes)" "" "$dst" cmp -n "$used" disk.img "$dst"

  # Peak memory of a capture from the device, and the size of the FAT it holds while mapping.
  rm -f image-mem.vqi
  /usr/bin/time -v "$vantor" capture "$src" image-mem.vqi >/dev/null 2>time.log
  peak_kib=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): \([0-9]*\)/\1/p' time.log)
  rm -f image-mem.vqi
  boot=$((part_start * 512))
  fat_sectors=$(od -An -tu4 -j $((boot + 36)) -N4 disk.img | tr -d ' ')
  fat_bytes=$((fat_sectors * 512))
fi

mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
rate() { awk -v b="$used" -v s="$1" 'BEGIN { if (s > 0) printf "%.1f", b / 1048576 / s; else print "-" }'; }
ratio() { awk -v peer="${seconds[$2]}" -v ours="${seconds[$1]}" 'BEGIN { printf "%.2f", peer / ours }'; }

echo
echo "Used data: $(mib "$used") MiB (vantor image $(mib "$image_bytes") MiB, partclone image $(mib "$pc_bytes") MiB); cache: $cache_state"
printf '%-34s %10s %10s\n' "run" "seconds" "MiB/s"
names=("vantor capture" "vantor capture --compress" "vantor restore --verify" "vantor restore" "vantor restore (existing file)"
       "vantor restore --verify (existing file)"
       "dd bs=128k (used bytes)" "partclone.fat32 -c" "partclone.fat32 -r" "sums pass, warm" "sums pass, cold (restore's)" "vantor verify"
       "cmp (used bytes)")
if [ "$device_mode" = 1 ]; then
  names+=("vantor capture (device)" "dd bs=128k iflag=direct" "dd bs=1M iflag=direct"
          "vantor restore --verify (device)" "vantor restore (device)" "dd bs=128k oflag=direct" "write + read-back floor"
          "vantor verify (device)" "cmp (device, used bytes)")
fi
for name in "${names[@]}"; do
  printf '%-34s %10s %10s\n' "$name" "${seconds[$name]}" "$(rate "${seconds[$name]}")"
done
echo
echo "Ratios (peer seconds / vantor seconds; above 1 means vantor is faster):"
echo "  capture vs dd:                 $(ratio "vantor capture" "dd bs=128k (used bytes)")"
echo "  capture vs partclone -c:       $(ratio "vantor capture" "partclone.fat32 -c")"
echo "  capture --compress vs capture: $(ratio "vantor capture --compress" "vantor capture")" \
     "(image $compressed_bytes bytes, zstd -3 of the plain image $zstd_bytes:" \
     "$(awk -v a="$compressed_bytes" -v b="$zstd_bytes" 'BEGIN { printf "%+.4f %%", 100 * (a - b) / b }'))"
echo "  restore vs dd:                 $(ratio "vantor restore" "dd bs=128k (used bytes)")"
echo "  restore (existing file) vs dd: $(ratio "vantor restore (existing file)" "dd bs=128k (used bytes)")"
echo "  restore vs partclone -r:       $(ratio "vantor restore" "partclone.fat32 -r")"
echo "  restore --verify vs partclone -r: $(ratio "vantor restore --verify" "partclone.fat32 -r")"
echo "  verify vs cmp:                 $(ratio "vantor verify" "cmp (used bytes)")"
seconds["dd + cmp"]=$(awk -v a="${seconds["dd bs=128k (used bytes)"]}" -v b="${seconds["cmp (used bytes)"]}" 'BEGIN { print a + b }')
echo "  restore --verify (existing file) vs dd + cmp: $(ratio "vantor restore --verify (existing file)" "dd + cmp")" \
     "(dd of the used bytes, then cmp of them: a copy and its read-back compare)"
share() { awk -v part="${seconds[$1]}" -v whole="${seconds[$2]}" 'BEGIN { printf "%.1f %%", 100 * part / whole }'; }
echo "Checksum sidecar (its pass alone, as a share of the whole command; a capture has no pass):"
echo "  restore: $(share "sums pass, cold (restore's)" "vantor restore (existing file)") of vantor restore onto an existing file" \
     "(device: $( [ "$device_mode" = 1 ] && share "sums pass, cold (restore's)" "vantor restore (device)" || echo -))"
if [ "$device_mode" = 1 ]; then
  echo "  device capture vs dd bs=128k iflag=direct:          $(ratio "vantor capture (device)" "dd bs=128k iflag=direct")"
  echo "  device capture vs dd bs=1M iflag=direct:            $(ratio "vantor capture (device)" "dd bs=1M iflag=direct")"
  echo "  device restore --verify vs dd bs=128k oflag=direct: $(ratio "vantor restore --verify (device)" "dd bs=128k oflag=direct")"
  echo "  device restore vs dd bs=128k oflag=direct:          $(ratio "vantor restore (device)" "dd bs=128k oflag=direct")"
  echo "  write + read-back floor vs dd bs=128k oflag=direct: $(ratio "write + read-back floor" "dd bs=128k oflag=direct")" \
       "(the best a verified restore can reach)"
  echo "  device restore --verify vs the floor:               $(ratio "vantor restore --verify (device)" "write + read-back floor")"
  echo "  device verify vs cmp:                               $(ratio "vantor verify (device)" "cmp (device, used bytes)")"
  echo
  echo "Peak memory of a device capture: $(mib $((peak_kib * 1024))) MiB maximum resident set size" \
       "(the volume's FAT: $(mib "$fat_bytes") MiB)"
else
  echo
  echo "Device mode skipped (needs root and losetup; DEVICE_MODE=$device_mode)"
fi

# Compressed disk images (COMPRESSED=0 skips them): a 1 GiB ext4 disk file holding about
# 600 MiB of the system's documentation, translations and drivers (data that compresses
# as a system image does), compressed with each tool at its default level (xz -T0, as
# downloads are made), written by vantor restore into a new disk file beside each
# decompressor piped into dd bs=1M; then the peak memory of each vantor restore.
if [ "${COMPRESSED:-1}" = 1 ]; then
  echo
  echo "Preparing a 1 GiB ext4 disk file of system files and its compressed copies (xz takes minutes)"
  mkdir -p fill
  cp -r /usr/share/doc /usr/share/locale fill/ 2>/dev/null || true
  [ -d /usr/lib/x86_64-linux-gnu/dri ] && cp -r /usr/lib/x86_64-linux-gnu/dri fill/
  truncate -s 1G sys.img
  mkfs.ext4 -q -F -d fill sys.img
  rm -rf fill
  xz -T0 -k -c sys.img >sys.img.xz
  zstd -q -c sys.img >sys.img.zst
  bzip2 -c sys.img >sys.img.bz2
  gzip -c sys.img >sys.img.gz
  echo "Timing, compressed images (median of $repeat; each run ends with an fsync of the disk file)"
  declare -A decompress=([xz]="xz -dc -T0" [zst]="zstd -dc" [bz2]="bzip2 -dc" [gz]="gzip -dc")
  for kind in xz zst bz2 gz; do
    timed "vantor restore .img.$kind" "rm -f out.img" out.img "$vantor" restore "sys.img.$kind" out.img --size 1G
    cmp -s sys.img out.img || { echo "compare.sh: the restore of sys.img.$kind differs from sys.img" >&2; exit 1; }
    timed "${decompress[$kind]} | dd bs=1M" "rm -f out.img" out.img \
      sh -c "${decompress[$kind]} sys.img.$kind | dd of=out.img bs=1M status=none"
  done
  declare -A peak
  for kind in xz zst bz2 gz; do
    rm -f out.img
    /usr/bin/time -v "$vantor" restore "sys.img.$kind" out.img --size 1G >/dev/null 2>time.log
    peak[$kind]=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): \([0-9]*\)/\1/p' time.log)
  done
  rm -f out.img
  # Our own compressed image of the same disk, beside zstd -3 of its plain image.
  "$vantor" capture sys.img sys.vqi >/dev/null
  "$vantor" capture --compress sys.img sys-z.vqi >/dev/null
  sys_plain=$(stat -c %s sys.vqi) sys_ours=$(stat -c %s sys-z.vqi) sys_zstd=$(zstd -q -3 -c sys.vqi | wc -c)
  rm -f sys.vqi sys.vqi.sums sys-z.vqi sys-z.vqi.sums
  echo
  echo "Compressed images (sys.img.xz $(mib "$(stat -c %s sys.img.xz)") MiB, .zst $(mib "$(stat -c %s sys.img.zst)")" \
       "MiB, .bz2 $(mib "$(stat -c %s sys.img.bz2)") MiB, .gz $(mib "$(stat -c %s sys.img.gz)") MiB, of 1024 MiB):"
  for kind in xz zst bz2 gz; do
    printf '  restore .img.%-4s vs %-16s | dd: %s   (vantor peak memory %s MiB)\n' "$kind" "${decompress[$kind]}" \
      "$(ratio "vantor restore .img.$kind" "${decompress[$kind]} | dd bs=1M")" "$(mib $((peak[$kind] * 1024)))"
  done
  echo "  capture --compress of sys.img: $sys_ours bytes, zstd -3 of its plain image ($sys_plain bytes) $sys_zstd:" \
       "$(awk -v a="$sys_ours" -v b="$sys_zstd" 'BEGIN { printf "%+.2f %%", 100 * (a - b) / b }')"
fi
