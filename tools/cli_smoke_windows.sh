#!/usr/bin/env bash
# Smoke test of the Windows build of the vantor host, run under Wine, on disk files: the
# checks both systems share (cli_smoke_common.sh). The disk files are made and judged on
# the Linux side, with sfdisk, mtools and cmp. Usage: cli_smoke_windows.sh
# PATH/TO/vantor.exe RUNNER... (RUNNER: the command that runs a Windows program here,
# such as "env WINEDEBUG=-all wine").
set -euo pipefail
exe=$(realpath "${1:?usage: cli_smoke_windows.sh PATH/TO/vantor.exe RUNNER...}")
shift
runner=("$@")
vantor() { "${runner[@]}" "$exe" "$@"; }
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"  # relative paths from here on: Wine starts the program in this folder
source "$here/cli_smoke_common.sh"
smoke_end
