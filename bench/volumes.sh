#!/usr/bin/env bash
# Capture timings on volumes of other file systems: for each of ext4, NTFS and exFAT, a
# 4 GiB volume in a disk file written whole (the file system alone, no partition table: vantor
# maps it as one volume over the whole "drive"), filled to about half with FILL_MIB MiB of
# files through the file system's own driver (ext4 by a loop mount, NTFS by ntfs-3g on the
# file, exFAT by mount.exfat-fuse on a loop device): a few 256 MiB random files and a tree
# of smaller files of mixed sizes (4 KiB to 16 MiB). On each volume file:
#   vantor capture VOLUME IMAGE (the image in the same work directory),
#   partclone.extfs / partclone.ntfs / partclone.exfat -c of the same file,
#   dd bs=1M copying as many bytes as the vantor image holds used bytes,
# and the ratios vantor aims at: a capture at least 3 times partclone's throughput and at
# least 0.95 times that of dd over the same used bytes. Throughputs are all counted in the
# used bytes vantor reports (vantor info --json), so a ratio of throughputs is the ratio
# of the seconds.
# Then, for each kind, the time vantor needs to map a freshly made, empty 64 GiB volume
# (see the comment there).
# Every run ends with an fsync of what it wrote (vantor capture fsyncs its image itself;
# the script also syncs the output inside the timing, as compare.sh does), and the page
# cache is dropped before each run.
# Needs root (loop devices, mounts, dropping the page cache); without it, it says so and
# stops. The loop devices it attaches are over files of its own work directory only, and
# every mount and loop device is undone on exit, on failure too.
# Usage: bench/volumes.sh [PATH/TO/vantor]   (default: builds build-quickstart/tools/vantor)
# Each figure is the median of REPEAT runs; on each volume the tools take turns.
# Environment: BENCH_DIR (work directory, default /var/tmp; needs about 2 * FILL_MIB + 1 GiB
# free), REPEAT (default 5), FILL_MIB (default 2048), KINDS (default "ext4 ntfs exfat").
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "volumes.sh: needs root (loop devices, mounts, dropping the page cache); nothing done"
  exit 0
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
vantor=${1:-}
if [ -z "$vantor" ]; then
  # Always brought up to date, so that the figures are those of the checked-out sources.
  vantor="$repo/build-quickstart/tools/vantor"
  cmake -S "$repo" -B "$repo/build-quickstart" -DCMAKE_BUILD_TYPE=Release -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF >/dev/null
  cmake --build "$repo/build-quickstart" --target vantor -j2 >/dev/null
fi
vantor=$(realpath "$vantor")

kinds=${KINDS:-ext4 ntfs exfat}
fill_mib=${FILL_MIB:-2048}
repeat=${REPEAT:-5}
need=(dd losetup mount umount mountpoint split find)
for kind in $kinds; do
  case $kind in
    ext4) need+=(mkfs.ext4 partclone.extfs) ;;
    ntfs) need+=(mkfs.ntfs ntfs-3g partclone.ntfs) ;;
    exfat) need+=(mkfs.exfat mount.exfat-fuse partclone.exfat) ;;
    *) echo "volumes.sh: unknown kind '$kind' (ext4, ntfs, exfat)" >&2; exit 1 ;;
  esac
done
for tool in "${need[@]}"; do
  command -v "$tool" >/dev/null || { echo "volumes.sh: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/vantor-volumes.XXXXXX")
work=$(realpath "$work")
mnt="$work/mnt"
mkdir "$mnt"
loops=()

# held PATH: whether a process has PATH (a file or a device) open.
held() { [ -n "$(find /proc/[0-9]*/fd -lname "$1" -print -quit 2>/dev/null || true)" ]; }
# wait_closed PATH...: waits (up to a minute) until no process holds any PATH. A FUSE
# driver (ntfs-3g, exfat-fuse) may still be writing when umount returns.
wait_closed() {
  local path busy
  for _ in $(seq 1 600); do
    busy=0
    for path in "$@"; do held "$path" && busy=1; done
    [ "$busy" = 1 ] || return 0
    sleep 0.1
  done
  echo "volumes.sh: $* still held after a minute" >&2
  return 1
}
# Undoes the mount on $mnt (if any) and detaches the loop devices this script attached,
# by name.
undo_mounts() {
  if mountpoint -q "$mnt"; then
    umount "$mnt" 2>/dev/null || umount -l "$mnt" || true
  fi
  if [ -n "${volume_path:-}" ]; then wait_closed "$volume_path" "${loops[@]}" || true; fi
  local loop
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
  loops=()
}
cleanup() {
  undo_mounts
  # --one-file-system: never into a mount that could not be undone.
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$work"

cache_state=cold
drop_caches() {
  sync
  if ! { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; then cache_state=warm; fi
}

# timed NAME PREPARE OUTPUT COMMAND...: evaluates PREPARE (untimed: removes the previous
# output), drops the cache, runs COMMAND then fsyncs OUTPUT (the file it wrote; - for
# none); adds the seconds to NAME's runs. The last run's output stays in run.log.
# median NAME: NAME's median, printed with its runs.
# The runs of the tools compared on one volume take turns (vantor, partclone, dd, then
# again), so that whatever the machine below keeps of the volume file (a virtual disk's
# host cache) favours none of them: run in blocks, the later runs of a tool find what
# its earlier runs just read.
declare -A seconds runs_of
timed() {
  local name=$1 prepare=$2 output=$3
  shift 3
  local start end
  eval "$prepare"
  drop_caches
  start=$(date +%s.%N)
  "$@" >"$work/run.log" 2>&1 || { echo "volumes.sh: $name failed:" >&2; tail -20 "$work/run.log" >&2; exit 1; }
  [ "$output" = - ] || sync "$output"
  end=$(date +%s.%N)
  runs_of[$name]+="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }') "
}
median() {
  local name=$1
  seconds[$name]=$(printf '%s\n' ${runs_of[$name]} | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  printf '  %-34s %8.3f s   (runs: %s)\n' "$name" "${seconds[$name]}" "${runs_of[$name]% }"
}

# make_volume KIND FILE SIZE [full]: a file of SIZE (sparse unless full) holding a fresh file system.
# With "full", the file holds data in every byte (no holes), and ext4's inode tables and
# journal are written out at once rather than by the kernel in the background after the
# first mount, so that the volume is settled before the timings.
make_volume() {
  local kind=$1 file=$2 size=$3 full=${4:-}
  local options=()
  rm -f "$file"
  if [ "$full" = full ]; then
    # Written whole first, as a real drive has no holes: dd then reads from the disk
    # what it copies, as the capture does, rather than zeros the file system conjures
    # up for the holes of a sparse file.
    head -c "$size" /dev/urandom >"$file"
  else
    truncate -s "$size" "$file"
  fi
  case $kind in
    ext4)
      [ "$full" = full ] && options=(-E "lazy_itable_init=0,lazy_journal_init=0")
      mkfs.ext4 -q -F -L BENCH "${options[@]}" "$file" >"$work/mkfs.log" 2>&1 ;;
    # -f: quick, no zeroing pass. On a file it warns about the geometry it cannot find.
    ntfs) mkfs.ntfs -q -F -f -L BENCH "$file" >"$work/mkfs.log" 2>&1 ;;
    exfat) mkfs.exfat -L BENCH "$file" >"$work/mkfs.log" 2>&1 ;;
  esac || { echo "volumes.sh: mkfs of $kind failed:" >&2; cat "$work/mkfs.log" >&2; exit 1; }
}

# mount_volume KIND FILE: mounts FILE on $mnt through the file system's own driver.
mount_volume() {
  local kind=$1 file=$2 loop
  volume_path=$file
  case $kind in
    ext4)
      loop=$(losetup --find --show "$file")
      loops+=("$loop")
      mount -t ext4 "$loop" "$mnt" ;;
    ntfs)
      ntfs-3g "$file" "$mnt" ;;
    exfat)
      loop=$(losetup --find --show "$file")
      loops+=("$loop")
      mount.exfat-fuse "$loop" "$mnt" >/dev/null ;;
  esac
}

# The tree of smaller files, made once and copied into every volume: of its bytes, 1/16 in
# 4 KiB files, 3/16 in 32 KiB files, 1/4 each in 256 KiB and 2 MiB files, the rest in
# 16 MiB files, at most 256 files a directory.
big_files=$((fill_mib * 3 / 4 / 256))
tree_mib=$((fill_mib - big_files * 256))
make_tree() {
  local total=$((tree_mib * 1048576)) piece kib left chunk dir n
  for piece in "4:$((total / 16))" "32:$((total * 3 / 16))" "256:$((total / 4))" "2048:$((total / 4))" \
              "16384:$((total - total / 16 - total * 3 / 16 - total / 4 - total / 4))"; do
    kib=${piece%%:*}
    left=${piece#*:}
    n=0
    while [ "$left" -gt 0 ]; do
      chunk=$((kib * 1024 * 256))
      [ "$chunk" -le "$left" ] || chunk=$left
      dir=$(printf 'tree/s%dk/d%03d' "$kib" "$n")
      mkdir -p "$dir"
      head -c "$chunk" /dev/urandom | split -b "$((kib * 1024))" -a 3 - "$dir/f"
      left=$((left - chunk))
      n=$((n + 1))
    done
  done
}
echo "Preparing ${tree_mib} MiB of smaller files (the same tree for every volume; in $work)"
make_tree
tree_files=$(find tree -type f | wc -l)

echo "vantor: $vantor"
echo "Each volume: 4 GiB file (no holes), ${big_files} random files of 256 MiB + ${tree_files} smaller files (${tree_mib} MiB)"
echo "Timing (median of $repeat; each run ends with an fsync of its output; page cache $( { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null && echo 'dropped before each run' || echo 'NOT dropped: warm runs'))"

declare -A used df_used image_bytes image_runs pc_bytes pc_tool
for kind in $kinds; do
  case $kind in
    ext4) pc=partclone.extfs ;;
    ntfs) pc=partclone.ntfs ;;
    exfat) pc=partclone.exfat ;;
  esac
  pc_tool[$kind]=$pc
  volume="$work/$kind.img"
  echo
  echo "$kind: making and filling the volume"
  make_volume "$kind" "$volume" 4G full
  mount_volume "$kind" "$volume"
  for i in $(seq 1 "$big_files"); do
    head -c 256M /dev/urandom >"$mnt/big$i.bin"
  done
  cp -r tree "$mnt/tree"
  sync
  df_used[$kind]=$(df -B1 --output=used "$mnt" | tail -1 | tr -d ' ')
  undo_mounts
  volume_path=

  for _ in $(seq 1 "$repeat"); do
    timed "$kind: vantor capture" "rm -f image.vqi image.vqi.sums" image.vqi "$vantor" capture "$volume" image.vqi
    used[$kind]=$("$vantor" info --json image.vqi | sed -n 's/.*"usedBytes":\([0-9]*\).*/\1/p')
    image_bytes[$kind]=$(stat -c %s image.vqi)
    image_runs[$kind]=$("$vantor" info --json image.vqi | sed -n 's/.*"runCount":\([0-9]*\).*/\1/p')
    rm -f image.vqi image.vqi.sums
    timed "$kind: $pc -c" "rm -f volume.pc" volume.pc "$pc" -q -c -s "$volume" -O volume.pc -L "$work/partclone-$kind.log"
    pc_bytes[$kind]=$(stat -c %s volume.pc)
    rm -f volume.pc
    timed "$kind: dd bs=1M (used bytes)" "rm -f dd.img" dd.img \
      dd if="$volume" of=dd.img bs=1M count="${used[$kind]}" iflag=count_bytes status=none
    rm -f dd.img
  done
  for run in "vantor capture" "$pc -c" "dd bs=1M (used bytes)"; do median "$kind: $run"; done
  rm -f "$volume"
done

# Mapping alone: `vantor partitions --json VOLUME show` finds the file system on the
# volume file and reads its whole allocation (ext4: every group's block bitmap and
# descriptors; NTFS: the MFT record of $Bitmap and the bitmap itself; exFAT: the allocation
# bitmap) to count the used units, which it lists; it reads no file data and writes
# nothing. That is the mapping step of a capture, on a freshly made, empty 64 GiB volume
# (mkfs only, sparse), cold cache.
echo
echo "Mapping a fresh 64 GiB volume (vantor partitions --json VOLUME show; median of $repeat)"
declare -A map_units
for kind in $kinds; do
  make_volume "$kind" "$work/map-$kind.img" 64G
  sync
  for _ in $(seq 1 "$repeat"); do
    timed "$kind: map 64 GiB" "" - "$vantor" partitions --json "$work/map-$kind.img" show
  done
  median "$kind: map 64 GiB"
  map_units[$kind]=$(sed -n 's/.*"fileSystem":"\([a-z0-9]*\)".*"unitBytes":\([0-9]*\),"unitCount":\([0-9]*\),"usedUnits":\([0-9]*\).*/\1: \4 of \3 units of \2 bytes used/p' "$work/run.log")
  rm -f "$work/map-$kind.img"
done

mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
rate() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.1f", b / 1048576 / s; else print "-" }'; }
ratio() { awk -v peer="${seconds[$2]}" -v ours="${seconds[$1]}" 'BEGIN { printf "%.2f", peer / ours }'; }
# meets OURS PEER GOAL: whether peer seconds / our seconds reaches GOAL (unrounded).
meets() { awk -v peer="${seconds[$2]}" -v ours="${seconds[$1]}" -v goal="$3" 'BEGIN { print (peer / ours >= goal ? "met" : "NOT met") }'; }

echo
echo "Cache: $cache_state. Throughput in MiB/s of the used bytes vantor reports."
printf '%-6s %-28s %9s %9s\n' "volume" "run" "seconds" "MiB/s"
for kind in $kinds; do
  for run in "vantor capture" "${pc_tool[$kind]} -c" "dd bs=1M (used bytes)"; do
    printf '%-6s %-28s %9s %9s\n' "$kind" "$run" "${seconds[$kind: $run]}" "$(rate "${used[$kind]}" "${seconds[$kind: $run]}")"
  done
done
echo
echo "Sizes in MiB (df: used as the mounted file system reports it; ext4's leaves out its own"
echo "metadata, inode tables and journal; exFAT's counts the gap before the cluster heap):"
printf '  %-6s %12s %9s %13s %16s %12s\n' "volume" "vantor used" "df used" "vantor image" "partclone image" "vantor runs"
for kind in $kinds; do
  printf '  %-6s %12s %9s %13s %16s %12s\n' "$kind" "$(mib "${used[$kind]}")" "$(mib "${df_used[$kind]}")" \
    "$(mib "${image_bytes[$kind]}")" "$(mib "${pc_bytes[$kind]}")" "${image_runs[$kind]}"
done
echo
echo "Ratios (vantor capture throughput / peer throughput):"
for kind in $kinds; do
  r_pc=$(ratio "$kind: vantor capture" "$kind: ${pc_tool[$kind]} -c")
  r_dd=$(ratio "$kind: vantor capture" "$kind: dd bs=1M (used bytes)")
  printf '  %-6s vs %-16s %6s (goal >= 3.00: %s)   vs dd %6s (goal >= 0.95: %s)\n' \
    "$kind" "${pc_tool[$kind]} -c" "$r_pc" "$(meets "$kind: vantor capture" "$kind: ${pc_tool[$kind]} -c" 3)" \
    "$r_dd" "$(meets "$kind: vantor capture" "$kind: dd bs=1M (used bytes)" 0.95)"
done
echo
echo "Mapping a fresh 64 GiB volume (seconds, cold cache):"
for kind in $kinds; do
  printf '  %-6s %8s s   (%s)\n' "$kind" "${seconds[$kind: map 64 GiB]}" "${map_units[$kind]}"
done
