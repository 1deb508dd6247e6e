#!/bin/sh
# record-tool-steps.sh NATIVE_BUILD STEPS FILTER PROGRAM...
# Brings the test PROGRAMs of NATIVE_BUILD (a Linux build of this tree) up to date and
# runs their tests that FILTER selects (a gtest filter) with
# VANTOR_TOOL_STEPS=STEPS, so that every step the system's disk tools take for them is
# recorded in STEPS for the Windows build of the same tests to replay. Steps recorded by
# an earlier run are replayed, not run again.
set -eu
native=$1
steps=$2
filter=$3
shift 3
mkdir -p "$steps"
cmake --build "$native" -j"${JOBS:-2}" --target "$@" >/dev/null
for program in "$@"; do
  VANTOR_TOOL_STEPS=$steps "$native/tests/$program" --gtest_brief=1 --gtest_filter="$filter"
done
