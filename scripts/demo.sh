#!/usr/bin/env bash
# The main job, end to end, from a fresh machine:
#   builds ZenquiloStudent for Windows and the release publisher;
#   publishes release 1 (the program and stand-in shells among its files) and
#   release 2 with zq_publish, with compressed copies and deltas against
#   release 1, packages both (an MSI and an installer executable each), and
#   serves release 2 on loopback with nginx;
#   installs release 1 silently with its MSI, as IT deploys it, with the
#   school's settings as MSI properties;
#   runs ZenquiloStudent under Wine on a virtual desktop (on a private Xvfb
#   display unless DISPLAY is set, where you then see it): the learning shell
#   opens and the update downloads, by deltas where it can (the bytes fetched
#   are printed against the files' whole size); a "kvts://" link opened
#   through the system, as a browser opens it, starts the live-classroom
#   shell; a second start installs the update; the MSI removes it at the end;
#   prints what happened and saves screenshots of the tray icon and menu.
# Everything it makes lies in build/demo/.
#
#   scripts/demo.sh [--arch x86_64|x86]   (default x86_64; x86 runs the 32-bit program)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

arch=x86_64
while [ $# -gt 0 ]; do
  case "$1" in
    --arch)
      arch=${2:-}
      shift
      ;;
    *) echo "usage: $0 [--arch x86_64|x86]" >&2; exit 2 ;;
  esac
  shift
done
case "$arch" in
  x86_64) preset=windows ;;
  x86) preset=windows-x86 ;;
  *) echo "unknown architecture '$arch' (x86_64 or x86)" >&2; exit 2 ;;
esac

say() { printf '%s\n' "$*"; }
step() { printf '\n%s\n' "$*"; }
fail() { say "   FAILED: $*"; exit 1; }

bash scripts/install-packages.sh
. scripts/wine-env.sh
if [ "$arch" = x86 ]; then
  # Before anything is built or laid out, so a refusal leaves nothing behind.
  zq_probe_x86
  if [ "$ZQ_X86_RUNS" = no ]; then
    echo "The 32-bit demo cannot run on this machine: $ZQ_X86_WHY. The 64-bit one can: bash scripts/demo.sh" >&2
    exit 2
  fi
fi
say "Building ZenquiloStudent and zq_publish for Windows $arch (the first run also builds libcurl, jsoncpp and libsodium: a few minutes)..."
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" >/dev/null
# The operator's publisher runs on Linux: it drives wixl and makensis.
cmake --preset native >/dev/null
cmake --build --preset native --target zq_publish >/dev/null
export ZQ_BUILD=$root/build/$preset
export ZQ_PUBLISH=$root/build/native/publisher/zq_publish

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo"
run=$demo/nginx
if [ "$arch" = x86 ]; then
  package_arch=x86
  install=$WINEPREFIX/drive_c/Program\ Files\ \(x86\)/ZenquiloStudent
else
  package_arch=x64
  install=$WINEPREFIX/drive_c/Program\ Files/ZenquiloStudent
fi
msi=$demo/packages1/ZenquiloStudent-$package_arch.msi

. scripts/journey-lib.sh
programs=()
cleanup() {
  for pid in "${programs[@]}"; do zq_end_program "$pid"; done
  # The prefix is shared with the tests: the install goes as IT removes it.
  if [ -f "$msi" ]; then
    "$WINE" taskkill /f /im ZenquiloStudent.exe >/dev/null 2>&1 </dev/null || true
    "$WINE" msiexec /x "$(winepath_of "$msi")" /qn >/dev/null 2>&1 </dev/null || true
    rm -rf "$install"
  fi
  scripts/serve-release.sh stop "$run" >/dev/null 2>&1 || true
  zq_wine_stop
}
trap cleanup EXIT
zq_wine_start

winepath_of() { "$WINE" winepath -w "$1" 2>/dev/null </dev/null | tr -d '\r'; }
# The system's start of the program's own kind: Wine keeps a 32-bit
# program's registration of the scheme where the 64-bit start does not look.
start_command=start
[ "$arch" = x86 ] && start_command='C:\windows\syswow64\start.exe'
version_of() { sed -n 's/.*"version": *"\([^"]*\)".*/\1/p' "$1" | head -n 1; }
# Prints "path  hash" for the file list of a manifest (code page 936 names shown as UTF-8).
entries_of() {
  python3 - "$1" <<'PY'
import json, sys
raw = open(sys.argv[1], 'rb').read().decode('latin-1')
for e in json.loads(raw)['file_list']:
    path = (e['local_path'] + e['name']).encode('latin-1').decode('gbk').replace('\\', '/')
    print(path, e['hash'], e['ver'], e['act'])
PY
}

# --- Two releases of a small client --------------------------------------------
r1=$demo/release1
r2=$demo/release2
mkdir -p "$r1/plugins" "$r1/课件" "$r2/plugins" "$r2/课件" "$r2/com"
# The program and the shells are files of the release like any other.
zq_layout_install "$r1" "$ZQ_BUILD"
zq_layout_install "$r2" "$ZQ_BUILD"
# The core library is a real program file; its next build differs in a few places.
cp "$ZQ_BUILD/fixtures/zenquilo.exe" "$r1/core.dll"
printf 'player plugin\n' >"$r1/plugins/player.dll"
printf 'lesson notes, release 1\n' >"$r1/课件/第一课.txt"
printf 'an old helper\n' >"$r1/legacy.txt"
zq_edited_copy "$r1/core.dll" "$r2/core.dll" 2
cp "$r1/plugins/player.dll" "$r2/plugins/player.dll"
printf 'lesson notes, release 2\n' >"$r2/课件/第一课.txt"
printf 'a new lesson\n' >"$r2/课件/第二课.txt"
cp "$ZQ_BUILD/fixtures/com_server.dll" "$r2/com/com_server.dll"

port=$(zq_free_port)
base=http://127.0.0.1:$port

step "1. Publishing two releases with zq_publish"
zq_publish_release --release-dir "$r1" --version 1 --date 20261201 --base-url "$base" --out "$demo/published1" >/dev/null ||
  fail "could not publish release 1"
zq_publish_release --release-dir "$r2" --version 2 --date 20261207 --base-url "$base" --out "$demo/published2" \
  --previous "$demo/published1/package.json" --reg 'com/*.dll' | sed 's/^/   /' ||
  fail "could not publish release 2"

for n in 1 2; do
  zq_publish_release package --published "$demo/published$n" --release-dir "$demo/release$n" \
    --out "$demo/packages$n" | sed 's/^/   /' || fail "could not package release $n"
done

step "2. Serving release 2 with nginx (deploy/nginx/zenquilo-updates.conf.in) at $base"
scripts/serve-release.sh start "$demo/published2" "127.0.0.1:$port" "$run" || fail "nginx did not start"

step "3. Release 1 installed silently with its MSI, as IT deploys it"
say "   msiexec /i $(basename "$msi") /qn UPDATE_URL=$base/soft/package.json HOME_URL=http://www.zenquilo.example/student/home"
"$WINE" msiexec /i "$(winepath_of "$msi")" /qn "UPDATE_URL=$base/soft/package.json" \
  HOME_URL=http://www.zenquilo.example/student/home >/dev/null 2>&1 </dev/null || fail "msiexec did not install release 1"
[ -f "$install/ZenquiloStudent.exe" ] || fail "no program in $install"
say "   installed in $install"
say "   installed version: $(version_of "$install/package.json"); the program is the $arch build ($(file -b "$install/ZenquiloStudent.exe" | cut -d, -f1))"
say "   zenquilostudent.ini: $(tr -d '\r' <"$install/zenquilostudent.ini" | grep -c URL_) settings from the MSI's properties"

step "4. Run one: a plain start of ZenquiloStudent"
lines=$(wc -l <"$run/access.log")
pid=$(zq_run "$install")
programs+=("$pid")
zq_wait 30 zq_started "$install" zenquilo.exe 1 || fail "no learning shell started"
say "   the learning shell started:"
say "     $(zq_last_command_line "$install" zenquilo.exe)"
zq_wait 60 test -f "$install/temp/package.json" || fail "the update did not download"
say "   the update check found version $(version_of "$install/temp/package.json") against $(version_of "$install/package.json"); downloaded:"
tail -n +"$((lines + 1))" "$run/access.log" | awk '{print "     " $7 "  (HTTP " $9 ", " $10 " bytes)"}'
wire=$(tail -n +"$((lines + 1))" "$run/access.log" | awk '$7 ~ /^\/(files|compressed|deltas)\// {s += $10} END {print s + 0}')
whole=$(find "$install/temp" -type f ! -name package.json ! -name package.json.sig ! -name 'zenquilostudent.log*' -printf '%s\n' | awk '{s += $1} END {print s + 0}')
say "   bytes over the wire: $wire, through deltas and compressed copies, for files of $whole bytes whole ($((wire * 100 / (whole > 0 ? whole : 1)))%)"
say "   each staged file proved against the manifest's MD5:"
while read -r path hash ver act; do
  [ -f "$install/temp/$path" ] || continue
  actual=$(md5sum "$install/temp/$path" | awk '{print toupper($1)}')
  if [ "$actual" = "$hash" ]; then say "     ok  $path  $hash"; else fail "$path: $actual is not $hash"; fi
done < <(entries_of "$install/temp/package.json")
sleep 1
kill -0 "$pid" 2>/dev/null || fail "ZenquiloStudent did not stay resident"
say "   nothing installed yet; ZenquiloStudent stays in the notification area"

step "4b. A kvts:// link, opened through the system as a browser opens it"
link="kvts://zenquilo/class?id=42"
"$WINE" "$start_command" "$link" >/dev/null 2>&1 </dev/null || fail "the system did not open $link"
zq_wait 30 zq_started "$install" zenquilo_live.exe 1 || fail "no live-classroom shell started"
say "   $link started the live-classroom shell:"
say "     $(zq_last_command_line "$install" zenquilo_live.exe)"

step "5. Run two: another plain start installs the update"
set +e
"$WINE" "$install/ZenquiloStudent.exe" >/dev/null 2>&1 </dev/null
code=$?
set -e
zq_wait 30 zq_started "$install" zenquilo.exe 2 || fail "no learning shell after the install"
say "   installed version: $(version_of "$install/package.json")"
while read -r path hash ver act; do
  if [ "$act" = "delete" ]; then
    [ -e "$install/$path" ] && fail "$path was not deleted"
    say "     deleted    $path"
  else
    cmp -s "$install/$path" "$r2/$path" || fail "$path is not release 2's"
    say "     in place   $path (ver $ver)"
  fi
done < <(entries_of "$install/package.json")
zq_wait 30 test -f "$install/com/com_server.registered" || fail "the COM server was not registered"
say "   com/com_server.dll registered through regsvr32"
say "   the learning shell was reopened; the second copy ended with exit code $code (255 is -1: one copy stays resident)"

step "6. Screenshots of the tray icon and its menu"
# Its own display and Wine prefix, so the program above and this one never meet.
env -u WINEPREFIX -u DISPLAY ZQ_SCREENSHOT_DIR="$demo/screenshots" bash scripts/screenshots.sh "$ZQ_BUILD" >"$demo/screenshots.log" 2>&1 ||
  fail "screenshots failed; see $demo/screenshots.log"
for f in "$demo"/screenshots/*.png; do say "   $f"; done

step "7. The packages an operator publishes beside each release"
for f in "$demo"/packages*/*; do say "   $f ($(stat -c %s "$f") bytes)"; done

step "Done: release 1 updated to release 2. Removing the install with msiexec /x, stopping nginx and Wine."
