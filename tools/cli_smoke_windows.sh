#!/usr/bin/env bash
# Smoke test of the Windows build of the vantor host, run under Wine: the checks of
# cli_smoke.sh that both systems share, on disk files made and judged on the Linux side.
# Usage: cli_smoke_windows.sh PATH/TO/vantor.exe RUNNER... (RUNNER: the command that runs a
# Windows program here, such as "env WINEDEBUG=-all wine").
exec "$(dirname "$0")/cli_smoke.sh" "$@"
