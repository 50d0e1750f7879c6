#!/usr/bin/env bash
# The main job, end to end: builds ZenquiloStudent for Windows, lays out a demo
# install directory with stand-in shells, runs it under Wine (on a virtual
# display unless DISPLAY is set) and reports what it opened.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

say() { printf '%s\n' "$*"; }

bash scripts/install-packages.sh
say "Building ZenquiloStudent for Windows (the first run also builds libcurl and jsoncpp: a few minutes)..."
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null

demo=$root/build/demo/install
rm -rf "$root/build/demo"
mkdir -p "$demo"
cp build/windows/ZenquiloStudent.exe build/windows/fixtures/zenquilo.exe build/windows/fixtures/zenquilo_live.exe "$demo/"
printf '[global]\r\nURL_HOME_PACKAGE=http://www.zenquilo.example/student/home\r\n' >"$demo/zenquilostudent.ini"

. scripts/wine-env.sh
trap zq_wine_stop EXIT
zq_wine_start

# The stand-in shells record each start as <exe>.<counter>.<pid>.cmdline (UTF-16).
starts() { ls "$demo/$1".*.cmdline 2>/dev/null | sort || true; }
wait_for_start() {
  local exe=$1 count=$2 i
  for i in $(seq 1 200); do
    [ "$(starts "$exe" | wc -l)" -ge "$count" ] && return 0
    sleep 0.1
  done
  return 1
}
show_last_start() {
  local file
  file=$(starts "$1" | tail -n 1)
  say "   command line: $(iconv -f UTF-16LE -t UTF-8 "$file")"
}

say
say "ZenquiloStudent demo"
say "   install directory: $demo"
say "   settings:          URL_HOME_PACKAGE=http://www.zenquilo.example/student/home"
say
say "1. A plain start (empty command line)"
"$WINE" "$demo/ZenquiloStudent.exe" >/dev/null 2>&1 &
resident=$!
if wait_for_start zenquilo.exe 1; then
  say "   the learning shell zenquilo.exe started"
  show_last_start zenquilo.exe
else
  say "   FAILED: no learning shell started"; exit 1
fi
sleep 1
if kill -0 "$resident" 2>/dev/null; then
  say "   ZenquiloStudent stays resident"
else
  say "   FAILED: ZenquiloStudent did not stay resident"; exit 1
fi

say
say "2. A classroom link while it runs: kvts://zenquilo/classroom?id=42"
set +e
"$WINE" "$demo/ZenquiloStudent.exe" "kvts://zenquilo/classroom?id=42" >/dev/null 2>&1
code=$?
set -e
if wait_for_start zenquilo_live.exe 1; then
  say "   the live-classroom shell zenquilo_live.exe started"
  show_last_start zenquilo_live.exe
else
  say "   FAILED: no live-classroom shell started"; exit 1
fi
say "   the second copy ended with exit code $code (255 is -1: one copy stays resident)"

say
say "Done. Stopping Wine."
