#!/usr/bin/env bash
# Runs every test, from a fresh Debian machine or a used one:
# installs what is missing, checks the layout of the C and C++ files, builds
# the three presets, runs the portable tests natively (ASan/UBSan), then starts
# a display and Wine and runs the Windows tests of both architectures (x86-64,
# then x86), and stops what it started.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-packages.sh

summary=()
not_run=()
passed=0; failed=0; skipped=0
status=0

# The layout of the C and C++ files (scripts/check-format.sh), one test: under a
# second, so every run checks it; a failure is counted and the run goes on.
echo "== format (clang-format)"
format_log=$(mktemp)
if bash scripts/check-format.sh 2>&1 | tee "$format_log"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  status=1
fi
summary+=("$(tail -n 1 "$format_log")")
rm -f "$format_log"

run_ctest() {  # NAME PRESET [CTEST ARGS...]
  local name=$1 preset=$2 log
  shift 2
  log=$(mktemp)
  set +e
  ctest --preset "$preset" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line skipped_here
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -n 1)
  # ctest counts a skipped test among the passed ones; the count below does not.
  skipped_here=$(grep -cE '^[[:space:]]+[0-9]+ - .* \((Skipped|Disabled)\)$' "$log" || true)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1] - skipped_here))
    skipped=$((skipped + skipped_here))
  fi
  [ "$skipped_here" -eq 0 ] || line+=" ($skipped_here skipped)"
  summary+=("$name: $line")
  rm -f "$log"
  return "$rc"
}

echo "== native build (portable core, ASan/UBSan)"
cmake --preset native >/dev/null
cmake --build --preset native

echo "== windows build (MinGW-w64, x86-64)"
cmake --preset windows >/dev/null
cmake --build --preset windows

echo "== windows-x86 build (MinGW-w64, x86)"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86

echo "== native tests"
run_ctest native native || status=1

echo "== windows tests under Wine (x86-64)"
. scripts/wine-env.sh
zq_probe_x86
trap zq_wine_stop EXIT
zq_wine_start
run_ctest windows windows || status=1
if [ "$ZQ_X86_RUNS" = yes ]; then
  echo "== windows-x86 tests under Wine (x86, WoW64)"
  run_ctest windows-x86 windows-x86 || status=1
else
  echo "== windows-x86: its program read without running it, and its smoke run emulated ($ZQ_X86_WHY)"
  run_ctest "windows-x86 image and smoke" windows-x86 -L 'image|smoke' || status=1
  not_run+=("windows mixed-architecture cases: not run — $ZQ_X86_WHY")
  not_run+=("windows-x86 under Wine: not run — $ZQ_X86_WHY")
fi
zq_wine_stop
trap - EXIT

echo
printf '%s\n' "${summary[@]}" "${not_run[@]}"
if [ "$skipped" -eq 0 ]; then
  echo "${passed} passed, ${failed} failed"
else
  echo "${passed} passed, ${failed} failed, ${skipped} skipped"
fi
exit $status
