#!/usr/bin/env bash
# Installs what is needed, builds and runs every test, each build from its preset in
# CMakePresets.json (warnings are errors in all of them):
#   1. the whole suite (ctest), release build with debug info;
#   2. the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. the imaging engine's tests (capture, restore and the chunk ring among them) under
#      ThreadSanitizer, repeated to catch races;
#   4. the fuzz targets (image files, drive maps, partition tables, GPT, exFAT, NTFS and ext
#      maps; libFuzzer, clang)
#      for a bounded time each;
#   5. the Windows build (mingw-w64: Vantor.dll, Basekit.dll, vantor.exe, the tests) and its
#      test set under Wine, in a Wine prefix of its own inside build-win.
# Tests that need loop devices or mount skip with a reason when not run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-60}

bash scripts/setup.sh

step() { printf '\n=== %s ===\n' "$*"; }

step "build (RelWithDebInfo)"
cmake --preset default >/dev/null
cmake --build build -j"$jobs"

step "tests"
summary=$(mktemp)
(cd build && ctest --output-on-failure --timeout 900) 2>&1 | tee "$summary"

step "install, and build a host against the installed package"
prefix=$(mktemp -d)
cmake --install build --prefix "$prefix" >/dev/null
cmake -S tests/package -B "$prefix/host" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/host" -j"$jobs" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$prefix/host/package_check" "$prefix/disk.bin"
rm -rf "$prefix"

step "build (address,undefined)"
cmake --preset asan >/dev/null
cmake --build build-asan -j"$jobs"

step "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure --timeout 1800)

step "build (thread)"
cmake --preset tsan >/dev/null
cmake --build build-tsan -j"$jobs" --target ImagingEngineTest CompressedSourceTest

step "imaging engine under ThreadSanitizer"
# Newer kernels randomise mmap with more bits than this TSan runtime expects: run without ASLR.
norand=""
if setarch "$(uname -m)" -R true 2>/dev/null; then norand="setarch $(uname -m) -R"; fi
# Ten rounds: one round of the engine's tests takes about 50 s under ThreadSanitizer here.
TSAN_OPTIONS=halt_on_error=1 $norand build-tsan/tests/ImagingEngineTest --gtest_repeat=10 --gtest_brief=1
# The readers of a compressed image shared by several drives' workers: two rounds (about
# 90 s each here).
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan_suppressions.txt" $norand \
  build-tsan/tests/CompressedSourceTest --gtest_repeat=2 --gtest_brief=1

if command -v clang++ >/dev/null; then
  step "fuzzing (${fuzz_seconds}s per target)"
  cmake --preset fuzz >/dev/null
  cmake --build build-fuzz -j"$jobs" --target ImageFileFuzz DriveMapFuzz PartitionTableFuzz GptFuzz \
    ExfatMapperFuzz NtfsMapperFuzz ExtMapperFuzz ImageSumsFuzz CompressedStreamFuzz CompressedImageFuzz
  # Each target builds its disk or image from a few hundred bytes of choices; the longest
  # inputs are extended partition chains of up to 300 records, volumes' metadata and
  # compressed files of a few KiB.
  for entry in ImageFileFuzz:2048 DriveMapFuzz:2048 PartitionTableFuzz:4096 GptFuzz:4096 \
      ExfatMapperFuzz:8192 NtfsMapperFuzz:6144 ExtMapperFuzz:8192 ImageSumsFuzz:1024 CompressedStreamFuzz:4096 \
      CompressedImageFuzz:8192; do
    target=${entry%%:*}
    corpus=$(mktemp -d)
    cp -r "$root"/tests/fuzz/corpus/"$target"/. "$corpus"/ 2>/dev/null || true
    dict=()
    [[ -s "$root/tests/fuzz/$target.dict" ]] && dict=(-dict="$root/tests/fuzz/$target.dict")
    build-fuzz/tests/fuzz/$target -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -max_len="${entry##*:}" \
      "${dict[@]}" -print_final_stats=1 "$corpus" 2>&1 | tail -n 15
    rm -rf "$corpus"
  done
fi

step "Windows: build with mingw-w64, test under Wine"
win_summary=$(mktemp)
windows_status=0
windows_start=$SECONDS
JOBS=$jobs bash scripts/windows-test.sh build-win 2>&1 | tee "$win_summary" || windows_status=${PIPESTATUS[0]}
echo "Windows step: $((SECONDS - windows_start))s"

step "summary"
echo "Linux:   $(grep -E 'tests passed|tests failed' "$summary" | tail -n 1)"
echo "Windows: $(grep -E 'tests passed|tests failed' "$win_summary" | tail -n 1)"
rm -f "$summary" "$win_summary"
exit "$windows_status"
