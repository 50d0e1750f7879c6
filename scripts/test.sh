#!/usr/bin/env bash
# Runs every test, from a fresh Debian machine or a used one:
# installs what is missing, builds the three presets, runs the portable tests
# natively (ASan/UBSan), then starts a display and Wine and runs the Windows
# tests of both architectures (x86-64, then x86), and stops what it started.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-packages.sh

summary=()
run_ctest() {
  local preset=$1 log
  log=$(mktemp)
  set +e
  ctest --preset "$preset" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  summary+=("$preset: $(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -n 1)")
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

status=0
echo "== native tests"
run_ctest native || status=1

echo "== windows tests under Wine (x86-64)"
. scripts/wine-env.sh
trap zq_wine_stop EXIT
zq_wine_start
run_ctest windows || status=1
echo "== windows-x86 tests under Wine (x86, WoW64)"
run_ctest windows-x86 || status=1
zq_wine_stop
trap - EXIT

echo
printf '%s\n' "${summary[@]}"
passed=0; failed=0
for line in "${summary[@]}"; do
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
done
echo "${passed} passed, ${failed} failed"
exit $status
