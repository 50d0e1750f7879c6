#!/usr/bin/env bash
# A short journey of the real 32-bit program for machines whose kernel executes
# no 32-bit Linux program: Debian's 32-bit Wine installs there but cannot
# start, so the x86 suite cannot run. Under qemu-user the program does start,
# and this checks the little that says the x86 build works at all:
#   - a plain start opens the learning shell with its exact command line;
#   - the hidden tray window exists and belongs to a 32-bit process;
#   - a second copy ends with -1 while the first stays resident.
# It runs in a throw-away install directory whose settings name a closed
# port on 127.0.0.1, so no update server is reached. The stand-in shells and
# the probe are the x86-64 build's, so that the program is the only emulated
# process. Where the kernel runs 32-bit programs it runs as it is.
#
#   x86_smoke_test.sh X86_BUILD_DIR X86_64_BUILD_DIR
#
# Inside the environment of scripts/wine-env.sh (zq_wine_start done). The
# emulator is registered with binfmt_misc (as zq-qemu-i386) only when the
# kernel cannot run the 32-bit Wine loader itself, and removed at the end; a
# prefix without its 32-bit side gets it here (about 20 s).
#
# Exit status: 0 passed, 1 a check failed, 3 the emulator or the prefix's
# 32-bit side could not be set up (ctest counts that as skipped).

set -uo pipefail

readonly binfmt=/proc/sys/fs/binfmt_misc
readonly entry=zq-qemu-i386
readonly qemu=/usr/bin/qemu-i386
readonly loader32=/usr/lib/wine/wine
readonly wine32_dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
readonly wine_inf=/usr/share/wine/wine.inf
readonly home='http://home.x86-smoke.example/'

log() { printf '[x86-smoke] %s\n' "$*" >&2; }

if [ $# -ne 2 ] || [ ! -f "$1/ZenquiloStudent.exe" ] || [ ! -f "$2/tests/x86_smoke_probe.exe" ]; then
  log "usage: x86_smoke_test.sh X86_BUILD_DIR X86_64_BUILD_DIR (with ZenquiloStudent.exe, and tests/x86_smoke_probe.exe)"
  exit 1
fi
for variable in WINE WINESERVER WINEPREFIX DISPLAY; do
  if [ -z "${!variable:-}" ]; then
    log "$variable is not set: run inside scripts/wine-env.sh's environment (zq_wine_start)"
    exit 1
  fi
done

x86_build=$(cd "$1" && pwd)
x64_build=$(cd "$2" && pwd)
helper=$x64_build/tests/x86_smoke_probe.exe

# qemu 7.2 gives a 32-bit guest the whole 4 GiB and places mappings away from
# the addresses asked for, so Wine's start-up reservation of the upper half
# splits down to 64 KiB pieces: some 65000 mmap/munmap pairs, about 50 s each
# time a 32-bit process starts. A guest space that ends just above 2 GiB
# leaves little to split: about 4 s a start. Some room above 2 GiB is needed
# for qemu's guest stack: at exactly 2 GiB it lands on Wine's shared user
# data and nothing starts (0x81000000 worked too; 0x82000000 leaves margin).
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0x82000000}

work=""
install=""
install_win=""
first_pid=""
bounded_pid=""
registered=""

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

smoke_start=$(now)
step_start=$smoke_start
begin() { step_start=$(now); }
done_step() { log "$1 ($(since "$step_start") s)"; }
fail() {
  log "FAILED: $1 ($(since "$step_start") s)"
  exit 1
}
cannot() {
  log "CANNOT SET UP: $1 ($(since "$step_start") s)"
  exit 3
}

# Linux path to the Windows path the program sees (drive Z: is /).
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# bounded SECONDS COMMAND...: runs COMMAND with a time limit, its output
# discarded, and returns its status (124 at the limit). In the background,
# because bash runs a trap only once the foreground command has ended: an
# interrupted smoke ends at once. The redirections stay inside: a trap run
# during the wait would write its report to them too.
bounded() {
  timeout "$@" >/dev/null 2>&1 </dev/null &
  bounded_pid=$!
  wait "$bounded_pid"
  local status=$?
  bounded_pid=""
  return "$status"
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [ -n "$install_win" ]; then
    "$WINE" "$helper" end "$install_win" >/dev/null 2>&1 </dev/null || true
  fi
  if [ -n "$bounded_pid" ]; then
    kill "$bounded_pid" 2>/dev/null || true
    wait "$bounded_pid" 2>/dev/null || true
  fi
  if [ -n "$first_pid" ]; then
    kill "$first_pid" 2>/dev/null || true
    wait "$first_pid" 2>/dev/null || true
  fi
  # An emulated process still starting is no Windows process yet, so the
  # helper cannot see it; its command line names our work directory.
  if [ -n "$work" ]; then
    local pid token
    token=$(basename "$work")
    for pid in $(pgrep -f -- "${token//./\\.}" 2>/dev/null); do
      kill -9 "$pid" 2>/dev/null || true
    done
  fi
  if [ -n "$registered" ] && [ -e "$binfmt/$entry" ]; then
    { echo -1 >"$binfmt/$entry"; } 2>/dev/null || log "could not remove the binfmt entry $entry"
  fi
  [ -n "$work" ] && rm -rf "$work"
  log "total $(since "$smoke_start") s, exit $status"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

begin
[ -x "$loader32" ] || cannot "32-bit Wine (wine32:i386) is not installed"
# An entry of this name is a leftover of a smoke run that was killed: it would
# be taken for the machine's own ability and then never removed.
if [ -e "$binfmt/$entry" ]; then
  { echo -1 >"$binfmt/$entry"; } 2>/dev/null || cannot "cannot remove the leftover binfmt entry $entry"
fi
if "$loader32" --version >/dev/null 2>&1; then
  done_step "emulator: not needed, 32-bit programs run here"
else
  [ -x "$qemu" ] || cannot "$qemu is missing (Debian's qemu-user; scripts/install-packages.sh installs it)"
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || cannot "binfmt_misc cannot be mounted on $binfmt"
  fi
  # i386 ELF executables and shared objects. F: the kernel opens qemu now, so
  # the entry works whatever the caller's mount namespace or PATH.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  { printf '%s' ":$entry:M::$magic:$mask:$qemu:F" >"$binfmt/register"; } 2>/dev/null ||
    cannot "cannot register $qemu with binfmt_misc"
  registered=1
  bounded 60 "$loader32" --version || cannot "the 32-bit Wine loader does not start under $qemu"
  done_step "emulator: registered $entry -> $qemu (QEMU_RESERVED_VA=$QEMU_RESERVED_VA)"
fi

begin
if [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  done_step "prefix: 32-bit side present"
else
  # Wine: wineboot -u does not make it in a prefix made without one: its
  # 64-bit side fails to start syswow64\rundll32.exe (c0000135) while that
  # file does not exist. Wine's own 32-bit rundll32 runs the same section.
  if [ ! -f "$wine32_dlls/rundll32.exe" ] || [ ! -f "$wine_inf" ]; then
    cannot "no $wine32_dlls/rundll32.exe or $wine_inf"
  fi
  bounded 300 env -u DISPLAY "$WINE" "$wine32_dlls/rundll32.exe" setupapi,InstallHinfSection Wow64Install 128 \
    "\\\\?\\$(windows_path "$wine_inf")"
  [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] || cannot "the prefix's 32-bit side was not made"
  done_step "prefix: 32-bit side made"
fi

begin
work=$(mktemp -d "${TMPDIR:-/tmp}/zq-x86-smoke.XXXXXX")
shells=$x64_build/fixtures
install=$work/install
mkdir -p "$install"
cp "$x86_build/ZenquiloStudent.exe" "$shells/zenquilo.exe" "$shells/zenquilo_live.exe" "$install/" ||
  fail "cannot lay out the install directory"
closed_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
printf '[global]\r\nURL_UPDATE_PACKAGE=http://127.0.0.1:%s/package.json\r\nURL_HOME_PACKAGE=%s\r\n' \
  "$closed_port" "$home" >"$install/zenquilostudent.ini"
install_win="$(windows_path "$install")\\"
short_dir=$("$WINE" "$helper" short "$install_win" 2>/dev/null </dev/null | tr -d '\r') || short_dir=""
[ -n "$short_dir" ] || fail "no short path for $install_win"
done_step "install directory: $install_win, shells from $shells, update server 127.0.0.1:$closed_port (closed)"

program=$install/ZenquiloStudent.exe

begin
# A resident copy from elsewhere in this prefix would make ours a second copy.
if "$WINE" "$helper" running ZenquiloStudent.exe >/dev/null 2>&1 </dev/null; then
  fail "another copy of ZenquiloStudent is resident in $WINEPREFIX already"
fi

learning_starts() { ls "$install"/zenquilo.exe.*.cmdline 2>/dev/null | wc -l; }

begin
"$WINE" "$program" >/dev/null 2>&1 </dev/null &
first_pid=$!
deadline=$(($(date +%s) + 240))
while [ "$(learning_starts)" -lt 1 ]; do
  if ! kill -0 "$first_pid" 2>/dev/null; then
    wait "$first_pid"
    code=$?
    first_pid=""
    fail "plain start: the program ended with $code before opening the learning shell"
  fi
  [ "$(date +%s)" -lt "$deadline" ] || fail "plain start: no learning shell within 240 s"
  sleep 0.2
done
expected="\"${install_win}zenquilo.exe\"  --url=$home  --enable-media-stream --enable-file-cookies --cache-path=\"${short_dir}cache\\sc\""
actual=$(iconv -f UTF-16LE -t UTF-8 "$install"/zenquilo.exe.*.cmdline)
if [ "$actual" != "$expected" ]; then
  log "expected: $expected"
  log "actual:   $actual"
  fail "plain start: the learning shell's command line differs"
fi
done_step "plain start: learning shell opened with the expected command line"

begin
tray_pid=$("$WINE" "$helper" tray 120 2>/dev/null </dev/null | tr -d '\r')
case $? in
  0) done_step "tray window: present, owned by 32-bit process $tray_pid" ;;
  1) fail "tray window: none within 120 s" ;;
  2) fail "tray window: owned by a 64-bit process ($tray_pid), not the 32-bit program" ;;
  *) fail "tray window: cannot tell whose it is" ;;
esac

begin
bounded 240 "$WINE" "$program"
code=$?
[ "$code" -ne 124 ] || fail "second copy: still running after 240 s"
[ "$code" -eq 255 ] || fail "second copy: exit code $code, expected 255 (-1)"
kill -0 "$first_pid" 2>/dev/null || fail "second copy: the first copy is no longer resident"
done_step "second copy: exit code 255 (-1), first copy still resident"

log "PASSED"
exit 0
