#!/usr/bin/env bash
# Side-by-side timing of vantor against the usual tools on the same data: a 1 GiB disk
# file with one FAT32 volume about half full of large random files.
#   vantor capture, vantor restore --verify, vantor restore,
#   dd bs=128k copying as many bytes as the image holds used bytes,
#   partclone.fat32 -c (capture) and -r (restore) of the same volume, taken out to a
#   file of its own (partclone works on files).
# Every run is followed by sync inside its timing, and the page cache is dropped before
# each run when that is allowed (root); otherwise the runs are warm and the output says so.
# Usage: bench/compare.sh [PATH/TO/vantor]   (default: builds build-quickstart/tools/vantor)
# Each figure is the median of REPEAT runs (default 3).
# Environment: BENCH_DIR (work directory; needs about 4 GiB free), FILL_MIB (default 512),
# REPEAT (default 3).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
vantor=${1:-}
if [ -z "$vantor" ]; then
  vantor="$repo/build-quickstart/tools/vantor"
  if [ ! -x "$vantor" ]; then
    cmake -S "$repo" -B "$repo/build-quickstart" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF >/dev/null
    cmake --build "$repo/build-quickstart" --target vantor -j "$(nproc)" >/dev/null
  fi
fi
vantor=$(realpath "$vantor")
for tool in sfdisk mkfs.fat mcopy partclone.fat32 dd; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done

fill_mib=${FILL_MIB:-512}
work=$(mktemp -d "${BENCH_DIR:-/tmp}/vantor-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export MTOOLS_SKIP_CHECK=1

cache_state=cold
drop_caches() {
  sync
  if ! { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; then cache_state=warm; fi
}

# timed NAME PREPARE COMMAND...: REPEAT times, evaluates PREPARE (untimed: removes the
# previous output), drops the cache, runs COMMAND then sync; records the median seconds.
repeat=${REPEAT:-3}
declare -A seconds
timed() {
  local name=$1 prepare=$2
  shift 2
  local runs=() start end
  for _ in $(seq 1 "$repeat"); do
    eval "$prepare"
    drop_caches
    start=$(date +%s.%N)
    "$@" >"$work/run.log" 2>&1 || { echo "compare.sh: $name failed:" >&2; tail -20 "$work/run.log" >&2; exit 1; }
    sync
    end=$(date +%s.%N)
    runs+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')")
  done
  seconds[$name]=$(printf '%s\n' "${runs[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  printf '  %-28s %8.3f s   (runs: %s)\n' "$name" "${seconds[$name]}" "${runs[*]}"
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

echo "Timing (each run ends with sync; page cache $( { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null && echo 'dropped before each run' || echo 'NOT dropped: warm runs'))"
timed "vantor capture" "rm -f image.vqi" "$vantor" capture disk.img image.vqi
used=$("$vantor" info --json image.vqi | sed -n 's/.*"usedBytes":\([0-9]*\).*/\1/p')
image_bytes=$(stat -c %s image.vqi)
timed "vantor restore --verify" "rm -f restored.img" "$vantor" restore --verify image.vqi restored.img --size 1G
timed "vantor restore" "rm -f restored.img" "$vantor" restore image.vqi restored.img --size 1G
rm -f restored.img
timed "dd bs=128k (used bytes)" "rm -f dd.img" dd if=disk.img of=dd.img bs=128k count="$used" iflag=count_bytes status=none
rm -f dd.img
timed "partclone.fat32 -c" "rm -f volume.pc" partclone.fat32 -q -c -s volume.img -O volume.pc -L "$work/partclone.log"
pc_bytes=$(stat -c %s volume.pc)
volume_bytes=$(stat -c %s volume.img)
rm -f volume.img
timed "partclone.fat32 -r" "rm -f volume.out; truncate -s $volume_bytes volume.out" \
  partclone.fat32 -q -r -s volume.pc -O volume.out -L "$work/partclone.log"

mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
rate() { awk -v b="$used" -v s="$1" 'BEGIN { if (s > 0) printf "%.1f", b / 1048576 / s; else print "-" }'; }
ratio() { awk -v peer="${seconds[$2]}" -v ours="${seconds[$1]}" 'BEGIN { printf "%.2f", peer / ours }'; }

echo
echo "Used data: $(mib "$used") MiB (vantor image $(mib "$image_bytes") MiB, partclone image $(mib "$pc_bytes") MiB); cache: $cache_state"
printf '%-28s %10s %10s\n' "run" "seconds" "MiB/s"
for name in "vantor capture" "vantor restore --verify" "vantor restore" "dd bs=128k (used bytes)" \
            "partclone.fat32 -c" "partclone.fat32 -r"; do
  printf '%-28s %10s %10s\n' "$name" "${seconds[$name]}" "$(rate "${seconds[$name]}")"
done
echo
echo "Ratios (peer seconds / vantor seconds; above 1 means vantor is faster):"
echo "  capture vs dd:                 $(ratio "vantor capture" "dd bs=128k (used bytes)")"
echo "  capture vs partclone -c:       $(ratio "vantor capture" "partclone.fat32 -c")"
echo "  restore vs dd:                 $(ratio "vantor restore" "dd bs=128k (used bytes)")"
echo "  restore vs partclone -r:       $(ratio "vantor restore" "partclone.fat32 -r")"
echo "  restore --verify vs partclone -r: $(ratio "vantor restore --verify" "partclone.fat32 -r")"
