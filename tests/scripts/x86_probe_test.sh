#!/usr/bin/env bash
# The probe that decides whether the x86 suite runs must agree with the kernel:
# a probe that guesses "yes" sends the run into 32-bit programs that cannot
# start, one that guesses "no" hides the x86 suite where it could run. The
# kernel is asked here without Wine, by the smallest 32-bit program there is:
# an ELF for i386 whose only instructions exit with 42.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() {  # DESCRIPTION ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: '$2', expected '$3'"; failures=$((failures + 1)); fi
}
# The run around this test may itself be one with ZQ_NO_X86=1.
probe() { (unset ZQ_X86_RUNS ZQ_X86_WHY ZQ_NO_X86; [ $# -eq 0 ] || export "$@"; . "$here/scripts/wine-env.sh"; zq_probe_x86; echo "$ZQ_X86_RUNS|$ZQ_X86_WHY"); }

# ELF header (52 bytes), one loadable segment (32 bytes), then
# mov eax, 1; mov ebx, 42; int 0x80.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'"$(
  )"'\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000'"$(
  )"'\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000'"$(
  )"'\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000'"$(
  )"'\140\000\000\000\005\000\000\000\000\020\000\000'"$(
  )"'\270\001\000\000\000\273\052\000\000\000\315\200' >"$work/exit42"
chmod +x "$work/exit42"
# The probe first: it removes an emulator that a killed smoke run left behind.
answer=$(probe)
"$work/exit42" 2>/dev/null
kernel_runs=$?

if [ "$kernel_runs" = 42 ] && [ -x /usr/lib/wine/wine ]; then
  expect "the kernel runs 32-bit programs and 32-bit Wine is installed" "$answer" "yes|"
elif [ "$kernel_runs" = 42 ]; then
  expect "32-bit Wine is missing" "$answer" "no|32-bit Wine (wine32:i386) is not installed"
else
  expect "the kernel runs no 32-bit program (exit $kernel_runs)" "$answer" "no|this kernel cannot execute 32-bit programs"
fi
expect "ZQ_NO_X86=1 answers no on any machine" "$(probe ZQ_NO_X86=1)" "no|32-bit programs switched off (ZQ_NO_X86=1)"

echo "$((2 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
