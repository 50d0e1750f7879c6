#!/usr/bin/env bash
# The release step the delta benchmark builds is chosen from `apt-cache
# madison` lines: the two newest versions of a source, in Debian's order.
# A text sort would call 10+deb12u5 newer than 10+deb12u15 and build the step
# backwards; a version two suites share is no step at all.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/scripts/debian-sources.sh"
failures=0 cases=0
expect() {  # DESCRIPTION ACTUAL EXPECTED
  cases=$((cases + 1))
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: '$2', expected '$3'"; failures=$((failures + 1)); fi
}
line() { printf '      %s | %s | http://deb.debian.org/%s %s/main %s\n' "$1" "$2" "$3" "$4" "${5:-Sources}"; }
step() { zq_newest_two "$1" 2>/dev/null || echo "none"; }

expect "a security update numbered past ten is the older side when the point release is newer" "$(
  { line curl 7.88.1-10+deb12u15 debian bookworm; line curl 7.88.1-10+deb12u5 debian-security bookworm-security; } |
    step curl)" "7.88.1-10+deb12u5 bookworm-security 7.88.1-10+deb12u15 bookworm"
expect "of three versions the newest two, in whatever order listed" "$(
  { line curl 7.88.1-10+deb12u14 debian bookworm-updates; line curl 7.88.1-10+deb12u9 debian bookworm
    line curl 7.88.1-10+deb12u16 debian-security bookworm-security; } | step curl)" \
  "7.88.1-10+deb12u14 bookworm-updates 7.88.1-10+deb12u16 bookworm-security"
expect "an epoch outranks a larger upstream version" "$(
  { line pkg 1:1.0-1 debian bookworm; line pkg 2.0-1 debian-security bookworm-security; } | step pkg)" \
  "2.0-1 bookworm-security 1:1.0-1 bookworm"
expect "one version in two suites is no step" "$(
  { line curl 7.88.1-10+deb12u15 debian bookworm; line curl 7.88.1-10+deb12u15 debian bookworm-updates; } |
    step curl)" "none"
expect "binary lists and other sources do not count" "$(
  { line curl 7.88.1-10+deb12u15 debian bookworm; line curl 7.88.1-10+deb12u99 debian bookworm Packages
    line curl-other 1.0-1 debian bookworm; } | step curl)" "none"
expect "no lines at all is no step" "$(step curl </dev/null)" "none"

echo "$((cases - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
