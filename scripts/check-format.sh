#!/usr/bin/env bash
# Checks that every C and C++ file git tracks (*.cpp, *.h) is laid out as
# .clang-format says, without changing any: one `clang-format --dry-run
# --Werror` over them all, under a second for the whole tree. Templates that
# CMake fills in (*.in), the resource script, CMake and shell files are not
# C++ sources and are left alone.
#
# Prints the files that differ and how to format one, and as its last line
# either "format: ok" or "format: N files unformatted" (scripts/test.sh counts
# that line as one test). Exit status 0 only when every file is formatted; a
# missing clang-format fails the check too, rather than passing it unread.
#
# The tree is formatted by Debian 12's clang-format 14
# (scripts/install-packages.sh installs it); another version may lay out a few
# lines differently, which the output then points out.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null 2>&1; then
  echo "clang-format is not on PATH; bash scripts/install-packages.sh installs it (Debian package clang-format)"
  echo "format: not checked, clang-format missing"
  exit 1
fi

files=()
while IFS= read -r -d '' file; do files+=("$file"); done < <(git ls-files -z -- '*.cpp' '*.h')
if [ ${#files[@]} -eq 0 ]; then
  echo "format: not checked, git lists no C or C++ file here"
  exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
set +e
clang-format --dry-run --Werror -- "${files[@]}" >/dev/null 2>"$log"
rc=$?
set -e

# Each difference is reported as "FILE:LINE:COLUMN: error: code should be
# clang-formatted [-Wclang-format-violations]"; one name per file.
unformatted=()
while IFS= read -r file; do unformatted+=("$file"); done < <(
  sed -nE 's/^(.+):[0-9]+:[0-9]+: error: code should be clang-formatted.*/\1/p' "$log" | sort -u)

if [ "$rc" -eq 0 ] && [ ${#unformatted[@]} -eq 0 ]; then
  echo "format: ok"
  exit 0
fi

if [ ${#unformatted[@]} -eq 0 ]; then
  # clang-format failed without naming a file: a broken .clang-format, say,
  # which it reports once for every file.
  head -n 4 "$log"
  echo "format: not checked, clang-format failed (exit status $rc)"
  exit 1
fi

printf '  %s\n' "${unformatted[@]}"
echo "hint: clang-format -i FILE formats FILE in place"
version=$(clang-format --version)
if ! [[ $version =~ version\ 14\. ]]; then
  echo "note: the tree is formatted by clang-format 14 (Debian 12); this is $version"
fi
if [ ${#unformatted[@]} -eq 1 ]; then
  echo "format: 1 file unformatted"
else
  echo "format: ${#unformatted[@]} files unformatted"
fi
exit 1
