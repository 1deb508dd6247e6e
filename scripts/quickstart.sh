#!/usr/bin/env bash
# Quick start: installs what is missing, builds the vantor program, makes a sample disk
# file with two FAT volumes, captures it into an image, describes the image, restores it
# verified onto a fresh disk file, and checks that every file came back unchanged.
# Run as root on Debian 12 (root is needed only to install missing packages):
#   scripts/quickstart.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build-quickstart"
step() { printf '\n== %s\n' "$*"; }

step "Installing the Debian packages the demo needs (scripts/setup.sh demo)"
"$repo/scripts/setup.sh" demo

step "Building vantor (Release) in $build"
(cd "$repo" && cmake --preset release -B "$build" >/dev/null)
cmake --build "$build" --target vantor -j "$(nproc)" >"$build.log" 2>&1 ||
  { tail -40 "$build.log" >&2; echo "quickstart: build failed (log: $build.log)" >&2; exit 1; }
vantor="$build/tools/vantor"
"$vantor" --help | head -1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export MTOOLS_SKIP_CHECK=1
quiet_progress() { grep -v -E '^[0-9]+%$' || true; }  # the percentage lines, for a short transcript

step "Making a sample disk file (64 MiB, FAT16 + FAT32, with a deleted file)"
"$repo/scripts/make-sample-disk.sh" sample.img
sfdisk -l sample.img | sed -n '/^Device/,$p'

step "vantor capture sample.img sample.vqi"
"$vantor" capture sample.img sample.vqi | quiet_progress

step "vantor info sample.vqi"
"$vantor" info sample.vqi

step "vantor restore --verify sample.vqi restored.img (a fresh disk file of the same size)"
"$vantor" restore --verify sample.vqi restored.img --size "$(stat -c %s sample.img)" | quiet_progress

step "Comparing every file of both volumes (mcopy + sha256sum)"
total=0
mismatches=0
for offset in $((2048 * 512)) $((51200 * 512)); do
  for disk in sample restored; do
    mkdir -p "files/$disk/$offset"
    mcopy -s -n -i "$disk.img@@$offset" '::/*' "files/$disk/$offset/"
    (cd "files/$disk/$offset" && find . -type f -print0 | sort -z | xargs -0 sha256sum) >"files/$disk-$offset.sums"
  done
  count=$(wc -l <"files/sample-$offset.sums")
  total=$((total + count))
  if ! diff -u "files/sample-$offset.sums" "files/restored-$offset.sums"; then
    mismatches=$((mismatches + 1))
  fi
done

if [ "$mismatches" -ne 0 ] || [ "$total" -eq 0 ]; then
  echo "quickstart: restored files DO NOT match ($total files compared)" >&2
  exit 1
fi
echo "restored files match: $total files"
