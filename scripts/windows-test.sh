#!/usr/bin/env bash
# The Windows step on its own: builds Vantor.dll, Basekit.dll, vantor.exe and the tests with
# mingw-w64 and runs the Windows test set under Wine, in a Wine prefix of its own inside
# the build folder (removed afterwards). scripts/test.sh runs it last; run it alone after
# scripts/setup.sh.
# Usage: scripts/windows-test.sh [WINDOWS_BUILD_DIR]
#   (default: build-win; JOBS sets the parallel jobs, default 2)
# The last line is CTest's count; the exit status is CTest's.
set -euo pipefail
cd "$(dirname "$0")/.."
win_build=$(realpath -m "${1:-build-win}")
jobs=${JOBS:-2}

# Everything Wine starts for the first time in a prefix (its services) inherits that
# process's output and never exits: the prefix is made, and a persistent server with its
# services started, before any build or test step whose output CTest or Ninja read.
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX="$win_build/wine-prefix"
trap 'wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
rm -rf "$WINEPREFIX" && mkdir -p "$win_build"
wineboot -i >/dev/null 2>&1 </dev/null
wineserver -k; wineserver -w
wineserver -p
wineboot >/dev/null 2>&1 </dev/null

# A build folder from the time the C++ runtime was linked statically is configured afresh
# (its objects stay; the programs and DLLs are linked again).
if grep -qs '_LINKER_FLAGS:STRING=-static' "$win_build/CMakeCache.txt"; then rm -f "$win_build/CMakeCache.txt"; fi
cmake --preset mingw -B "$win_build" >/dev/null
cmake --build "$win_build" -j"$jobs"
status=0
# A test program that Wine fails to start ends at once with no output of its own; such a
# test runs once more (ctest marks it in the log), a test that fails on its own fails twice.
(cd "$win_build" && ctest -j"$jobs" --output-on-failure --timeout 900 --repeat until-pass:2) >"$win_build/ctest.log" 2>&1 ||
  status=$?
cat "$win_build/ctest.log"
grep -E 'tests passed|tests failed' "$win_build/ctest.log" | tail -n 1
exit "$status"
