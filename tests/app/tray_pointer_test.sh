#!/usr/bin/env bash
# The tray icon worked as a person works it: the real pointer (xdotool) on the
# Wine virtual desktop, against the real program in a throw-away install
# directory with the stand-in shells.
#   - a double-click on the icon relaunches the learning shell;
#   - a right-click opens the menu, and its first item, chosen with the pointer,
#     relaunches the learning shell;
#   - a click outside the open menu closes it and launches nothing;
#   - "退出" with OK ends both shells and the program, with exit code 0.
#
#   tray_pointer_test.sh BUILD_DIR
#
# Uses DISPLAY and WINEPREFIX as inherited (scripts/test.sh sets both up);
# without DISPLAY it starts a display and Wine of its own and stops them after
# (zq_wine_stop ends every process of the prefix: give it a WINEPREFIX of its own).
# Exits 0 only when every check passed.
set -uo pipefail

build=${1:?usage: tray_pointer_test.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/wine-env.sh"

failures=0
pass() { printf 'PASS: %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }
# A failure after which nothing else can be checked.
abort() { printf 'FAIL: %s\n' "$*"; exit 1; }

for tool in xdotool import convert; do
  command -v "$tool" >/dev/null || abort "$tool is missing (scripts/install-packages.sh installs it)"
done
for f in ZenquiloStudent.exe fixtures/zenquilo.exe fixtures/zenquilo_live.exe; do
  [ -f "$build/$f" ] || abort "missing $build/$f"
done

own_wine=""
if [ -z "${DISPLAY:-}" ]; then
  own_wine=1
  zq_wine_start || abort "cannot start a display and Wine"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zq-tray-pointer.XXXXXX")
install=$work/install
mkdir -p "$install"
cp "$build/ZenquiloStudent.exe" "$build/fixtures/zenquilo.exe" "$build/fixtures/zenquilo_live.exe" "$install/"
# The update check goes to a closed local port, so it fails at once and the
# icon answers without the fetch's 3-second bound.
printf '[global]\r\nURL_UPDATE_PACKAGE=http://127.0.0.1:1/soft/package.json\r\n' >"$install/zenquilostudent.ini"

program=""
# Ends, by their ids, the processes this test started: the program and every
# stand-in shell that recorded a start in our install directory.
cleanup() {
  local record pid
  for record in "$install"/*.cmdline; do
    [ -e "$record" ] || continue
    pid=${record%.cmdline}
    pid=${pid##*.}
    "$WINE" taskkill /f /pid "$pid" >/dev/null 2>&1 </dev/null || true
  done
  if [ -n "$program" ] && kill -0 "$program" 2>/dev/null; then
    kill "$program" 2>/dev/null || true
    sleep 1
    kill -9 "$program" 2>/dev/null || true
  fi
  xdotool mousemove 0 0 >/dev/null 2>&1 || true
  if [ -n "$own_wine" ]; then zq_wine_stop; fi
  # ZQ_TEST_ARTIFACTS keeps the screenshots for a look at what went wrong.
  if [ -n "${ZQ_TEST_ARTIFACTS:-}" ]; then
    mkdir -p "$ZQ_TEST_ARTIFACTS" && cp "$work"/*.png "$ZQ_TEST_ARTIFACTS/" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Wine processes show their executable's path (Linux or Z:\ form) in ps; our
# throw-away directory's name is unique to this run.
shells_running() { ps -eo args= | grep -F "$(basename "$work")" | grep -ciE 'zenquilo(_live)?\.exe' || true; }
starts() { ls "$install"/zenquilo.exe.*.cmdline 2>/dev/null | wc -l; }
live_starts() { ls "$install"/zenquilo_live.exe.*.cmdline 2>/dev/null | wc -l; }
wait_for_starts() {
  local count=$1
  for _ in $(seq 1 150); do
    [ "$(starts)" -ge "$count" ] && return 0
    sleep 0.2
  done
  return 1
}

# The virtual desktop's origin on the X screen: 0,0 on a bare Xvfb, elsewhere
# under a window manager.
origin_x=0
origin_y=0
desktop_window=$(xdotool search --name 'Wine desktop' 2>/dev/null | head -n 1 || true)
if [ -n "$desktop_window" ]; then
  eval "$(xdotool getwindowgeometry --shell "$desktop_window" | grep -E '^(X|Y)=')"
  origin_x=${X:-0}
  origin_y=${Y:-0}
fi
desktop=${ZQ_DESKTOP_SIZE:-800x600}
width=${desktop%x*}
height=${desktop#*x}

shot() { import -display "$DISPLAY" -window root -crop "${desktop}+${origin_x}+${origin_y}" +repage "$1" 2>/dev/null; }
# "WxH+X+Y" of what differs between two screenshots, inside region when given; empty when nothing does.
changed_box() {
  local box
  box=$(convert "$1" "$2" -compose difference -composite -threshold 0 ${3:+-crop "$3"} -trim \
    -format '%wx%h%X%Y' info: 2>/dev/null || true)
  case "$box" in '' | 1x1*) ;; *) printf '%s\n' "$box" ;; esac
}
wait_for_change() {
  local reference=$1 now=$2 region=${3:-}
  for _ in $(seq 1 75); do
    shot "$now"
    [ -n "$(changed_box "$reference" "$now" "$region")" ] && return 0
    sleep 0.2
  done
  return 1
}
move() { xdotool mousemove $((origin_x + $1)) $((origin_y + $2)); }

# The notification area: the right end of the taskbar.
taskbar="200x28+$((width - 200))+$((height - 28))"
# A screen that has stopped changing (a fresh desktop paints itself late).
settled_shot() {
  shot "$1" || return 1
  for _ in $(seq 1 50); do
    sleep 0.2
    shot "$work/settling.png" || return 1
    [ -z "$(changed_box "$1" "$work/settling.png")" ] && return 0
    cp "$work/settling.png" "$1"
  done
  return 0
}
move 10 10
settled_shot "$work/before.png" || abort "cannot take a screenshot of $DISPLAY"

"$WINE" "$install/ZenquiloStudent.exe" >/dev/null 2>&1 </dev/null &
program=$!

wait_for_starts 1 || abort "a plain start opened no learning shell"
wait_for_change "$work/before.png" "$work/icon.png" "$taskbar" || abort "no icon appeared in the notification area"
# Where our icon landed: whatever changed in the taskbar (other icons may sit beside it).
sleep 1
shot "$work/icon.png"
box=$(changed_box "$work/before.png" "$work/icon.png" "$taskbar")
[ -n "$box" ] || abort "no icon appeared in the notification area"
# Wine draws the taskbar only once a program runs: then everything changed, and
# the icon is what stands out from the taskbar's own colour.
if [ "${box%%x*}" -gt 40 ]; then
  box=$(convert "$work/icon.png" -crop "200x16+$((width - 200))+$((height - 18))" -trim -format '%wx%h%X%Y' info: 2>/dev/null)
  case "$box" in '' | 1x1*) abort "no icon found in the notification area" ;; esac
fi
read -r bw bh bx by < <(sed -E 's/^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$/\1 \2 \3 \4/' <<<"$box")
icon_x=$((bx + bw / 2))
icon_y=$((by + bh / 2))
printf 'icon at (%d, %d) on the desktop\n' "$icon_x" "$icon_y"
# The icon answers only once the update check is over and the message loop runs.
sleep 1

# 1. Double-click: the learning shell is relaunched.
before=$(starts)
move "$icon_x" "$icon_y"
sleep 0.3
xdotool click --repeat 2 --delay 100 1
if wait_for_starts $((before + 1)); then
  pass "a double-click on the icon relaunched the learning shell"
else
  fail "a double-click on the icon started no learning shell ($before starts before, $(starts) after)"
fi

# Opens the menu with a right-click; prints its box on the desktop.
open_menu() {
  move 10 10
  sleep 0.5
  settled_shot "$work/closed.png"
  move "$icon_x" "$icon_y"
  sleep 0.3
  xdotool click 3
  wait_for_change "$work/closed.png" "$work/open.png" || return 1
  sleep 0.5
  shot "$work/open.png"
  changed_box "$work/closed.png" "$work/open.png"
}
split_box() { sed -E 's/^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$/\1 \2 \3 \4/' <<<"$1"; }

# 2. Right-click: the menu opens; its first item relaunches the learning shell.
before=$(starts)
menu=$(open_menu)
if [ -z "$menu" ]; then
  fail "a right-click on the icon opened no menu"
else
  pass "a right-click on the icon opened the menu ($menu)"
  read -r mw mh mx my < <(split_box "$menu")
  # The first item's text lies about 10 px below the menu's top edge.
  move $((mx + mw / 2)) $((my + 10))
  sleep 0.3
  xdotool click 1
  if wait_for_starts $((before + 1)); then
    pass "the menu's first item relaunched the learning shell"
  else
    fail "the menu's first item started no learning shell"
  fi
fi

# 3. A click outside the open menu: it closes and nothing is launched.
sleep 1
before=$(starts)
menu=$(open_menu)
if [ -z "$menu" ]; then
  fail "a second right-click opened no menu"
else
  move $((width / 2)) $((height / 3))
  sleep 0.3
  xdotool click 1
  sleep 2
  shot "$work/dismissed.png"
  if [ -n "$(changed_box "$work/closed.png" "$work/dismissed.png")" ]; then
    fail "the menu stayed on screen after a click outside it"
  elif [ "$(starts)" -ne "$before" ] || [ "$(live_starts)" -ne 0 ]; then
    fail "dismissing the menu launched a shell"
  else
    pass "a click outside the menu closed it and launched nothing"
  fi
fi

# 4. "退出", the menu's last item, then OK: everything ends, exit code 0.
menu=$(open_menu)
if [ -z "$menu" ]; then
  fail "a right-click opened no menu for the exit"
else
  read -r mw mh mx my < <(split_box "$menu")
  move $((mx + mw / 2)) $((my + mh - 10))
  sleep 0.3
  xdotool click 1
  move 10 10
  if ! wait_for_change "$work/open.png" "$work/confirm.png"; then
    fail "choosing the menu's last item showed no confirmation"
  else
    sleep 0.5
    # Without a shell to see here, the check after the exit could not fail.
    [ "$(shells_running)" -ge 1 ] || fail "no running learning shell seen before the exit"
    # The confirmation is active with OK as its default button.
    xdotool key Return
    exited=""
    for _ in $(seq 1 100); do
      if ! kill -0 "$program" 2>/dev/null; then exited=1; break; fi
      sleep 0.2
    done
    if [ -z "$exited" ]; then
      fail "the program still runs 20 s after OK in the exit confirmation"
    else
      wait "$program"
      code=$?
      program=""
      if [ "$code" -eq 0 ]; then
        pass "OK in the exit confirmation ended the program with exit code 0"
      else
        fail "the program ended with exit code $code after OK, not 0"
      fi
      sleep 0.5
      shot "$work/after.png"
      # Where the icon was, one plain colour is left (taskbar or desktop).
      if [ "$(convert "$work/after.png" -crop "${bw}x${bh}+${bx}+${by}" -format '%k' info:)" -ne 1 ]; then
        fail "the icon is still in the notification area after the exit"
      else
        pass "the icon is gone after the exit"
      fi
      for _ in $(seq 1 25); do
        [ "$(shells_running)" -eq 0 ] && break
        sleep 0.2
      done
      if [ "$(shells_running)" -ne 0 ]; then
        fail "$(shells_running) shell(s) still run after the exit"
      else
        pass "no shell runs after the exit"
      fi
    fi
  fi
fi

if [ "$failures" -ne 0 ]; then
  printf '%d check(s) failed\n' "$failures"
  exit 1
fi
printf 'all checks passed\n'
exit 0
