#!/usr/bin/env bash
# Runs one Windows program under Wine and passes on its output and exit code.
# ctest uses this as the emulator of the windows preset.
# The output goes through a file: programs that the tested program starts
# (shells, Wine's services) may keep the inherited handles open long after it
# ends, and a reader of a pipe would wait for them.
set -u
# Same prefix and settings as the test scripts, when run on its own.
. "$(dirname "$0")/wine-env.sh"
# Tests that need a 32-bit process read the answer (ZQ_X86_RUNS) and skip.
zq_probe_x86
out=$(mktemp)
"$WINE" "$@" >"$out" 2>&1 </dev/null
rc=$?
tr -d '\r' <"$out"
rm -f "$out"
exit $rc
