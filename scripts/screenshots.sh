#!/usr/bin/env bash
# Regenerates the README's screenshots in docs/screenshots/: the tray icon with
# its tooltip, the open tray menu and the exit confirmation, taken from the real
# program on the Wine virtual desktop (800x600) of a private Xvfb display.
#
#   scripts/screenshots.sh [BUILD_DIR]
#
# BUILD_DIR (or ZQ_BUILD_DIR) is a Windows build directory, default build/windows;
# the default one is built with the windows preset when it has no program yet.
# ZQ_SCREENSHOT_DIR overrides the output directory. WINEPREFIX, when set, names
# the prefix to use; otherwise a prefix of its own, so that stopping Wine at the
# end never ends anybody's test run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=${1:-${ZQ_BUILD_DIR:-$root/build/windows}}
out=${ZQ_SCREENSHOT_DIR:-$root/docs/screenshots}

say() { printf '[screenshots] %s\n' "$*" >&2; }
fail() { say "FAILED: $*"; exit 1; }

bash scripts/install-packages.sh

if [ ! -f "$build/ZenquiloStudent.exe" ]; then
  if [ "$build" = "$root/build/windows" ]; then
    say "building the windows preset"
    cmake --preset windows >/dev/null
    cmake --build --preset windows
  elif [ -f "$build/CMakeCache.txt" ]; then
    cmake --build "$build" --target ZenquiloStudent stub_zenquilo stub_zenquilo_live
  else
    fail "$build holds no ZenquiloStudent.exe and is no configured build directory"
  fi
fi
for f in ZenquiloStudent.exe fixtures/zenquilo.exe fixtures/zenquilo_live.exe; do
  [ -f "$build/$f" ] || fail "missing $build/$f"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zq-screenshots.XXXXXX")
install=$work/install
mkdir -p "$install" "$work/shots"
cp "$build/ZenquiloStudent.exe" "$build/fixtures/zenquilo.exe" "$build/fixtures/zenquilo_live.exe" "$install/"
# The update check goes to a closed local port: it fails at once, the message
# loop starts without the 3-second wait, and nothing leaves the machine.
printf '[global]\r\nURL_HOME_PACKAGE=http://www.zenquilo.example/student/home\r\nURL_UPDATE_PACKAGE=http://127.0.0.1:1/soft/package.json\r\n' \
  >"$install/zenquilostudent.ini"

# Our own display, so the desktop always lies at the top left of a known screen.
unset DISPLAY
export WINEPREFIX=${WINEPREFIX:-${ZQ_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zenquilostudent}/wine-screenshots}
. scripts/wine-env.sh
program=""
cleanup() {
  if [ -n "$program" ]; then kill "$program" 2>/dev/null || true; fi
  zq_wine_stop
  rm -rf "$work"
}
trap cleanup EXIT
zq_wine_start

desktop=${ZQ_DESKTOP_SIZE:-800x600}
width=${desktop%x*}
height=${desktop#*x}

shot() { import -display "$DISPLAY" -window root -crop "${desktop}+0+0" +repage "$1"; }
# The bounding box "WxH+X+Y" of what differs between two screenshots; empty when nothing does.
changed_box() {
  local box
  box=$(convert "$1" "$2" -compose difference -composite -threshold 0 -trim -format '%wx%h%X%Y' info: 2>/dev/null || true)
  # -trim of an image without any difference leaves a 1x1 remnant.
  case "$box" in ''|1x1*) ;; *) printf '%s\n' "$box" ;; esac
}
# Polls until the screen differs from the reference inside the given region (or anywhere).
wait_for_change() {
  local reference=$1 now=$2 region=${3:-}
  for _ in $(seq 1 100); do
    shot "$now"
    if [ -n "$region" ]; then
      local a b
      a=$(convert "$reference" -crop "$region" +repage -format '%#' info:)
      b=$(convert "$now" -crop "$region" +repage -format '%#' info:)
      [ "$a" != "$b" ] && return 0
    elif [ -n "$(changed_box "$reference" "$now")" ]; then
      return 0
    fi
    sleep 0.2
  done
  return 1
}

# The notification area's first icon sits at the right end of the taskbar.
icon_x=$((width - 11))
icon_y=$((height - 11))
tray_region="48x24+$((width - 48))+$((height - 24))"

xdotool mousemove 10 10
sleep 1
shot "$work/shots/empty.png"

say "starting ZenquiloStudent"
"$WINE" "$install/ZenquiloStudent.exe" >/dev/null 2>&1 </dev/null &
program=$!
wait_for_change "$work/shots/empty.png" "$work/shots/with-icon.png" "$tray_region" ||
  fail "the tray icon did not appear in the notification area"
# The first start of a prefix paints its desktop late: let it settle.
sleep 2
shot "$work/shots/with-icon.png"

say "tooltip"
# Two moves, so the icon sees the pointer arrive and rest on it.
xdotool mousemove $((icon_x - 2)) $((icon_y - 2))
sleep 0.3
xdotool mousemove "$icon_x" "$icon_y"
wait_for_change "$work/shots/with-icon.png" "$work/shots/tooltip.png" || fail "no tooltip appeared over the icon"
sleep 1
shot "$work/shots/tooltip.png"

say "menu"
xdotool mousemove 10 10
sleep 1.5
shot "$work/shots/no-tooltip.png"
xdotool mousemove "$icon_x" "$icon_y" click 3
wait_for_change "$work/shots/no-tooltip.png" "$work/shots/menu.png" || fail "the menu did not open"
sleep 1
shot "$work/shots/menu.png"
menu_box=$(changed_box "$work/shots/no-tooltip.png" "$work/shots/menu.png")
[ -n "$menu_box" ] || fail "the menu did not open"
say "menu at $menu_box"

say "exit confirmation"
# "退出" is the menu's last item: a few pixels above its bottom edge.
read -r mw mh mx my < <(sed -E 's/^([0-9]+)x([0-9]+)([+-][0-9]+)([+-][0-9]+)$/\1 \2 \3 \4/' <<<"$menu_box")
xdotool mousemove $((mx + mw / 2)) $((my + mh - 10))
sleep 0.5
xdotool click 1
xdotool mousemove 10 10
wait_for_change "$work/shots/menu.png" "$work/shots/exit.png" || fail "no exit confirmation appeared"
sleep 1
shot "$work/shots/exit.png"
box=$(changed_box "$work/shots/with-icon.png" "$work/shots/exit.png")
[ -n "$box" ] || fail "no exit confirmation appeared"

mkdir -p "$out"
cp "$work/shots/tooltip.png" "$out/tray-icon-tooltip.png"
cp "$work/shots/menu.png" "$out/tray-menu.png"
cp "$work/shots/exit.png" "$out/exit-confirmation.png"
say "saved tray-icon-tooltip.png, tray-menu.png, exit-confirmation.png in $out"

# OK in the confirmation: the program ends both shells and exits.
xdotool key Return
for _ in $(seq 1 50); do
  kill -0 "$program" 2>/dev/null || break
  sleep 0.2
done
