#!/usr/bin/env bash
# vantor on drives as slow as USB keys and SD cards, each operation measured against the
# drive's own limit. Each drive is bench/slow_drive.cpp (a FUSE daemon that serves one
# request at a time at a profile's rates) behind a loop device made with
# `losetup --direct-io=on`, so that a block device of that speed is what vantor opens.
#
# For each profile of SLOW_DRIVES: a drive of SLOW_DRIVE_MIB MiB holding an MBR and a FAT32
# volume with SLOW_FILL_MIB MiB of random files (the source), and four empty drives of the
# same size (the targets T1..T4). Timed, each the median of REPEAT runs:
#   vantor capture SOURCE IMAGE, and dd bs=1M iflag=direct of the image's used bytes;
#   vantor restore IMAGE T1, and dd bs=1M oflag=direct of the used bytes onto T1;
#   vantor restore --verify IMAGE T1; vantor verify IMAGE T1;
#   vantor zero T1 (every sector), and dd if=/dev/zero bs=1M oflag=direct over all of T1;
#   vantor restore IMAGE T1 T2 T3 T4 (four drives at once) under /usr/bin/time -v.
# Beside each time, its LIMIT from the daemon's own rates: the bytes the operation must move
# at the read or write rate, plus one request cost per 512 KiB (the limit's own measure; the
# drive takes requests of up to 1 MiB, and its loop device is told so). Read limit: used bytes / read rate; write limit: used bytes
# / write rate; verified-write limit: both; zero: the drive's bytes / write rate. The ratio
# limit/time is how close a run comes to the drive (1 is the drive's own speed). Goals:
# each vantor operation at least 0.9 of its limit and faster than dd; four drives at once at
# most 1.15 times one drive's time, in under 80 MiB of peak memory.
# Each run also shows the requests and bytes the drive served (its `stats` file).
# The image lives in memory (/dev/shm when it is a tmpfs) so that only the slow drive counts;
# every run ends with an fsync of what it wrote, inside its timing, and the page cache is
# dropped before each run (the programs then loaded back, see drop_caches).
# Needs root (loop devices, FUSE mounts, dropping the page cache). The loop devices it
# attaches are over its own FUSE files only, and every loop device, FUSE mount and daemon
# is undone on exit, on failure and on Ctrl-C.
# Usage: bench/slow_drives.sh [PATH/TO/vantor]   (default: builds build-quickstart/tools/vantor)
#   also run by `SLOW_DRIVES="usb3-key usb2-key" bench/compare.sh`.
# Environment: SLOW_DRIVES (profiles, default "usb3-key usb2-key"; also sd-card),
# SLOW_DRIVE_MIB (default 160), SLOW_FILL_MIB (default 96), REPEAT (default 3), BENCH_DIR
# (work directory, default /var/tmp; needs 6 * SLOW_DRIVE_MIB MiB free).
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "slow_drives.sh: needs root (loop devices, FUSE mounts, dropping the page cache); nothing done"
  exit 0
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
vantor=${1:-}
if [ -z "$vantor" ]; then
  # Always brought up to date, so that the figures are those of the checked-out sources.
  vantor="$repo/build-quickstart/tools/vantor"
  cmake -S "$repo" -B "$repo/build-quickstart" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF >/dev/null
  cmake --build "$repo/build-quickstart" --target vantor -j "$(nproc)" >/dev/null
fi
vantor=$(realpath "$vantor")
for tool in sfdisk mkfs.fat mcopy dd losetup fusermount3 mountpoint pkg-config "${CXX:-g++}" /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "slow_drives.sh: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done
[ -e /dev/fuse ] || { echo "slow_drives.sh: /dev/fuse is missing" >&2; exit 1; }

profiles=${SLOW_DRIVES:-usb3-key usb2-key}
drive_mib=${SLOW_DRIVE_MIB:-160}
fill_mib=${SLOW_FILL_MIB:-96}
repeat=${REPEAT:-3}
max_request_bytes=$((1024 * 1024))  # MAX_REQUEST_BYTES in slow_drive.cpp
request_bytes=$((512 * 1024))        # one request cost counted in a limit per so many bytes

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/vantor-slow.XXXXXX")
work=$(realpath "$work")
if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ]; then
  images=$(mktemp -d /dev/shm/vantor-slow.XXXXXX)
else
  images=$work
fi
src='' t1='' t2='' t3='' t4=''  # the loop devices, set by attach
loops=()
mounts=()
daemons=()

# detach_all: the loop devices first (they hold the FUSE files open), then the FUSE mounts,
# then the daemons that are still there; only what this script made, by name or id.
detach_all() {
  local loop mnt pid
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
  loops=()
  # A detached loop device lets go of its file a moment later.
  for mnt in "${mounts[@]}"; do
    for _ in $(seq 1 50); do
      mountpoint -q "$mnt" || break
      fusermount3 -u "$mnt" 2>/dev/null && break
      sleep 0.1
    done
    mountpoint -q "$mnt" && { umount -l "$mnt" 2>/dev/null || true; }
  done
  mounts=()
  for pid in "${daemons[@]}"; do
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  daemons=()
}
cleanup() {
  detach_all
  rm -rf "$work"
  [ "$images" = "$work" ] || rm -rf "$images"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$work"
export MTOOLS_SKIP_CHECK=1

# shellcheck disable=SC2046  # the flags are words
"${CXX:-g++}" -O2 -std=c++17 -o slow_drive "$repo/bench/slow_drive.cpp" $(pkg-config --cflags --libs fuse3)

# The data goes out of the cache, the programs come back in: loading vantor and its
# libraries from a cold system disk takes 10-50 ms here, a cost of starting a program,
# not of the drive.
drop_caches() {
  sync
  echo 3 >/proc/sys/vm/drop_caches
  "$vantor" --help >/dev/null
  dd --help >/dev/null
}

# attach NAME PROFILE BACKING: serves BACKING as a slow drive mounted on NAME.mnt and puts
# its loop device in the variable named NAME.
attach() {
  local name=$1 profile=$2 backing=$3 mnt="$work/$1.mnt" loop
  mkdir -p "$mnt"
  ./slow_drive --profile "$profile" "$backing" "$mnt" >"$work/$name.log" 2>&1 &
  daemons+=("$!")
  mounts+=("$mnt")
  for _ in $(seq 1 100); do
    [ -e "$mnt/stats" ] && break
    kill -0 "${daemons[-1]}" 2>/dev/null || { echo "slow_drives.sh: the $name drive did not start:" >&2; cat "$work/$name.log" >&2; exit 1; }
    sleep 0.1
  done
  [ -e "$mnt/stats" ] || { echo "slow_drives.sh: $mnt did not appear" >&2; exit 1; }
  loop=$(losetup --find --show --direct-io=on "$mnt/drive")
  loops+=("$loop")
  [ "$(losetup -n -O DIO "$loop" | tr -d ' ')" = 1 ] || { echo "slow_drives.sh: $loop is not in direct-I/O mode" >&2; exit 1; }
  # Left alone, the loop device would hand the drive requests of up to 1280 KiB, which the
  # FUSE layer then cuts into 1 MiB + 256 KiB; a real drive announces the largest request
  # it takes, so the loop device is told the daemon's.
  echo $((max_request_bytes / 1024)) >"/sys/block/${loop#/dev/}/queue/max_sectors_kb"
  printf -v "$name" '%s' "$loop"
}

# stats_of MNT...: "reads read_bytes writes write_bytes", summed over the drives (the counts
# pass 2^31 over a run: printed as floating point, never as awk's %d).
stats_of() {
  local mnt
  for mnt in "$@"; do cat "$mnt/stats"; done |
    awk '{ v[$1] += $2 } END { printf "%.0f %.0f %.0f %.0f", v["reads"], v["read_bytes"], v["writes"], v["write_bytes"] }'
}

# timed NAME PREPARE "OUTPUTS" "MOUNTS" COMMAND...: REPEAT times, evaluates PREPARE
# (untimed), drops the page cache, runs COMMAND then fsyncs OUTPUTS (the files or devices it
# wrote); records the median seconds and the requests the drives on MOUNTS served in the
# last run.
declare -A seconds served
timed() {
  local name=$1 prepare=$2 outputs=$3 mnts=$4
  shift 4
  local runs=() start end before after
  for _ in $(seq 1 "$repeat"); do
    eval "$prepare"
    drop_caches
    # shellcheck disable=SC2086
    before=$(stats_of $mnts)
    start=$(date +%s.%N)
    "$@" >"$work/run.log" 2>&1 || { echo "slow_drives.sh: $name failed:" >&2; tail -20 "$work/run.log" >&2; exit 1; }
    # shellcheck disable=SC2086
    sync $outputs
    end=$(date +%s.%N)
    # shellcheck disable=SC2086
    after=$(stats_of $mnts)
    runs+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')")
  done
  seconds[$name]=$(printf '%s\n' "${runs[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  served[$name]=$(awk -v b="$before" -v a="$after" 'BEGIN { split(b, x, " "); split(a, y, " ");
    printf "%.0f %.0f %.0f %.0f", y[1] - x[1], y[2] - x[2], y[3] - x[3], y[4] - x[4] }')
  printf '  %-34s %8.3f s   (runs: %s)\n' "$name" "${seconds[$name]}" "${runs[*]}"
}

# limit BYTES BYTES_PER_S: seconds to move BYTES at that rate, one request per 512 KiB.
limit() {
  awk -v b="$1" -v r="$2" -v q="$request_s" -v n="$request_bytes" \
    'BEGIN { printf "%.3f", b / r + int((b + n - 1) / n) * q }'
}
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

echo "Preparing a ${drive_mib} MiB drive with an MBR and a FAT32 volume, ${fill_mib} MiB of random files (in $work)"
part_start=2048
disk_sectors=$((drive_mib * 2048))
part_sectors=$((disk_sectors - part_start))
dd if=/dev/zero of=disk.img bs=1M count="$drive_mib" status=none
printf 'label: dos\nstart=%d, size=%d, type=c\n' $part_start $part_sectors | sfdisk --quiet disk.img
mkfs.fat -F 32 -n SLOWBENCH --offset $part_start disk.img $((part_sectors / 2)) 2>&1 >/dev/null | grep -v 'block count mismatch' >&2 || true
# Files of 1 to 16 MiB until the fill is reached.
left=$((fill_mib * 1024 * 1024))
i=0
while [ "$left" -gt 0 ]; do
  i=$((i + 1))
  size=$(((1 << (i % 5)) * 1024 * 1024))
  [ "$size" -gt "$left" ] && size=$left
  head -c "$size" /dev/urandom >chunk.bin
  mcopy -i "disk.img@@$((part_start * 512))" chunk.bin "::/FILE$i.BIN"
  left=$((left - size))
done
rm -f chunk.bin
drive_bytes=$(stat -c %s disk.img)
sync

echo "vantor: $vantor"
echo "Image files in $images; page cache dropped before each run; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
report=()
for profile in $profiles; do
  read -r read_rate write_rate request_s < <(./slow_drive --profile "$profile" --print-rates) ||
    { echo "slow_drives.sh: unknown profile $profile" >&2; exit 1; }
  cp disk.img source.img
  for t in 1 2 3 4; do dd if=/dev/zero of="t$t.img" bs=1M count="$drive_mib" status=none; done
  sync
  attach src "$profile" "$work/source.img"
  attach t1 "$profile" "$work/t1.img"
  attach t2 "$profile" "$work/t2.img"
  attach t3 "$profile" "$work/t3.img"
  attach t4 "$profile" "$work/t4.img"
  echo
  echo "Timing on $profile drives (median of $repeat): source $src, targets $t1 $t2 $t3 $t4"
  image="$images/image.vqi"
  timed "vantor capture" "rm -f $image" "$image" "$work/src.mnt" "$vantor" capture "$src" "$image"
  used=$("$vantor" info --json "$image" | sed -n 's/.*"usedBytes":\([0-9]*\).*/\1/p')
  timed "dd bs=1M iflag=direct" "rm -f $images/dd.img" "$images/dd.img" "$work/src.mnt" \
    dd if="$src" of="$images/dd.img" bs=1M count="$used" iflag=count_bytes,direct status=none
  rm -f "$images/dd.img"
  timed "vantor restore" "" "$t1" "$work/t1.mnt" "$vantor" restore "$image" "$t1" --yes
  timed "dd bs=1M oflag=direct" "" "$t1" "$work/t1.mnt" \
    dd if=disk.img of="$t1" bs=1M count="$used" iflag=count_bytes oflag=direct status=none
  timed "vantor restore --verify" "" "$t1" "$work/t1.mnt" "$vantor" restore --verify "$image" "$t1" --yes
  timed "vantor verify" "" "$t1" "$work/t1.mnt" "$vantor" verify "$image" "$t1"
  timed "vantor zero" "" "$t1" "$work/t1.mnt" "$vantor" zero "$t1" --yes
  timed "dd if=/dev/zero bs=1M oflag=direct" "" "$t1" "$work/t1.mnt" \
    dd if=/dev/zero of="$t1" bs=1M count="$((drive_bytes / 1048576))" oflag=direct status=none
  # One drive and four at once in the same conditions: T1 was just zeroed, as T2..T4 are
  # for the first run; in the later runs every target holds the image. The four-drive run
  # is under /usr/bin/time -v.
  timed "vantor restore (1 drive)" "" "$t1" "$work/t1.mnt" "$vantor" restore "$image" "$t1" --yes
  timed "vantor restore (4 drives)" "" "$t1 $t2 $t3 $t4" \
    "$work/t1.mnt $work/t2.mnt $work/t3.mnt $work/t4.mnt" \
    /usr/bin/time -v -o "$work/time.log" "$vantor" restore "$image" "$t1" "$t2" "$t3" "$t4" --yes
  peak_kib=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): \([0-9]*\)/\1/p' "$work/time.log")
  cmp -s -n "$used" disk.img "$t4" || { echo "slow_drives.sh: $t4 does not hold the disk after the restore" >&2; exit 1; }
  detach_all

  read_limit=$(limit "$used" "$read_rate")
  write_limit=$(limit "$used" "$write_rate")
  verified_limit=$(awk -v a="$read_limit" -v b="$write_limit" 'BEGIN { printf "%.3f", a + b }')
  zero_limit=$(limit "$drive_bytes" "$write_rate")
  # row NAME LIMIT GOAL: seconds, limit, limit/time, whether the goal is met, requests.
  row() {
    local name=$1 lim=$2 goal=$3
    awk -v name="$name" -v s="${seconds[$name]}" -v lim="$lim" -v goal="$goal" -v served="${served[$name]}" 'BEGIN {
      split(served, v, " ")
      ratio = s > 0 ? lim / s : 0
      verdict = goal == "" ? "" : (ratio >= goal ? "yes" : "NO")
      reads = v[1] ? sprintf("%d x %.0f KiB", v[1], v[2] / v[1] / 1024) : "-"
      writes = v[3] ? sprintf("%d x %.0f KiB", v[3], v[4] / v[3] / 1024) : "-"
      printf "%-34s %8.3f %8.3f %7.2f  %-8s %-18s %-18s %7.1f %7.1f\n", name, s, lim, ratio,
             goal == "" ? "" : ">=" goal " " verdict, reads, writes, v[2] / 1048576, v[4] / 1048576
    }'
  }
  faster() {  # faster VANTOR PEER: peer seconds / vantor seconds, goal above 1
    awk -v a="${seconds[$1]}" -v b="${seconds[$2]}" 'BEGIN { r = b / a; printf "%.2f (%s)", r, (r > 1 ? "yes" : "NO") }'
  }
  table=$(
    echo
    echo "== $profile: read $(awk -v r="$read_rate" 'BEGIN { print r / 1e6 }') MB/s," \
         "write $(awk -v r="$write_rate" 'BEGIN { print r / 1e6 }') MB/s," \
         "$(awk -v q="$request_s" 'BEGIN { print q * 1e3 }') ms per request;" \
         "used bytes $(mib "$used") MiB, drive $(mib "$drive_bytes") MiB"
    printf '%-34s %8s %8s %7s  %-8s %-18s %-18s %7s %7s\n' "run" "seconds" "limit" "lim/t" "goal" \
      "reads" "writes" "rd MiB" "wr MiB"
    row "vantor capture" "$read_limit" 0.9
    row "dd bs=1M iflag=direct" "$read_limit" ""
    row "vantor restore" "$write_limit" 0.9
    row "dd bs=1M oflag=direct" "$write_limit" ""
    row "vantor restore --verify" "$verified_limit" 0.9
    row "vantor verify" "$read_limit" 0.9
    row "vantor zero" "$zero_limit" 0.9
    row "dd if=/dev/zero bs=1M oflag=direct" "$zero_limit" ""
    row "vantor restore (1 drive)" "$write_limit" 0.9
    row "vantor restore (4 drives)" "$write_limit" 0.9
    echo "vantor faster than dd (dd seconds / vantor seconds, goal > 1):"
    echo "  capture $(faster "vantor capture" "dd bs=1M iflag=direct"), restore $(faster "vantor restore" "dd bs=1M oflag=direct")," \
         "zero $(faster "vantor zero" "dd if=/dev/zero bs=1M oflag=direct")"
    echo "4 drives at once / 1 drive: $(awk -v a="${seconds[vantor restore (4 drives)]}" -v b="${seconds[vantor restore (1 drive)]}" \
         'BEGIN { r = a / b; printf "%.2f (goal <= 1.15: %s)", r, (r <= 1.15 ? "yes" : "NO") }');" \
         "peak memory $(mib $((peak_kib * 1024))) MiB (goal < 80: $([ "$peak_kib" -lt $((80 * 1024)) ] && echo yes || echo NO))"
  )
  report+=("$table")
done

echo
echo "Limits: the bytes at the drive's rate plus one request cost per 512 KiB; lim/t = limit / seconds" \
     "(1 = the drive's own speed). reads/writes: the requests the drive(s) served in one run, and their mean size."
printf '%s\n' "${report[@]}"
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) processors)"
