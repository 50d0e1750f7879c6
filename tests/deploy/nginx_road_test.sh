#!/usr/bin/env bash
# A release published by zq_publish, served by nginx with the update server's
# own configuration, installed by the real client under Wine:
#   1. release 1 installed, release 2 served: a changed file, a new file in a
#      sub-directory, Chinese names, a COM server to register, a deleted file.
#      Run one downloads exactly the changed files; run two installs them.
#   2. a release of 1,000 files where one changed: only that one is fetched.
# Usage: nginx_road_test.sh WINDOWS_BUILD_DIR (inside the Wine test environment).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
. "$here/scripts/wine-env.sh"
. "$here/scripts/road-lib.sh"

work=$(mktemp -d /tmp/zq-nginx-road.XXXXXX)
run=$work/nginx
pids=()
failures=0
cleanup() {
  for pid in "${pids[@]}"; do zq_end_program "$pid"; done
  "$WINE" taskkill /f /im zenquilo.exe >/dev/null 2>&1 || true
  "$WINE" taskkill /f /im zenquilo_live.exe >/dev/null 2>&1 || true
  "$here/scripts/serve-release.sh" stop "$run" || true
  rm -rf "$work"
}
trap cleanup EXIT

check() {  # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
same_file() { cmp -s "$1" "$2"; }
crlf_of() { sed 's/$/\r/' "$1"; }
# The file URLs fetched since the log had LINES lines.
fetched_since() { tail -n +"$(($1 + 1))" "$run/access.log" | awk '{print $7}' | grep '^/files/' | sort || true; }

port=$(zq_free_port)
base=http://127.0.0.1:$port
ln -sfn "$work/out2" "$work/current"
mkdir -p "$work/out2"

# --- 1. The road of one incremental update -------------------------------------
r1=$work/release1
r2=$work/release2
mkdir -p "$r1/bin" "$r1/中文" "$r2/bin" "$r2/中文" "$r2/com"
printf 'a, release 1' >"$r1/a.dll"
printf 'b, unchanged' >"$r1/bin/b.txt"
printf 'course, release 1' >"$r1/中文/课程.dat"
printf 'to be removed' >"$r1/old.txt"
printf 'a, release 2' >"$r2/a.dll"
cp "$r1/bin/b.txt" "$r2/bin/b.txt"
printf 'course, release 2' >"$r2/中文/课程.dat"
printf 'new in release 2' >"$r2/bin/新文件.txt"
cp "$ZQ_BUILD/fixtures/com_server.dll" "$r2/com/com_server.dll"

rm -rf "$work/out2"
zq_publish_release --release-dir "$r1" --version 1 --date 20261201 --base-url "$base" --out "$work/out1" >/dev/null
zq_publish_release --release-dir "$r2" --version 2 --date 20261207 --base-url "$base" --out "$work/out2" \
  --previous "$work/out1/package.json" --reg 'com/*.dll' >/dev/null
"$here/scripts/serve-release.sh" start "$work/current" "127.0.0.1:$port" "$run"

install=$work/install
zq_install_release "$install" "$ZQ_BUILD" "$r1" "$work/out1" "$base/soft/package.json"

log_lines=$(wc -l <"$run/access.log")
pid=$(zq_run "$install")
pids+=("$pid")
check "run one opens the learning shell" zq_wait 30 zq_started "$install" zenquilo.exe 1
check "run one stages the update" zq_wait 60 test -f "$install/temp/package.json"
expected=$(printf '%s\n' /files/2/a.dll "/files/1/bin/%E6%96%B0%E6%96%87%E4%BB%B6.txt" \
  "/files/1/com/com_server.dll" "/files/2/%E4%B8%AD%E6%96%87/%E8%AF%BE%E7%A8%8B.dat" /files/2/old.txt | sort)
check "exactly the changed files are fetched" test "$(fetched_since "$log_lines")" = "$expected"
check "the manifest is requested with ?r=" grep -q 'GET /soft/package.json?r=-\?[0-9]* ' "$run/access.log"
check "the pending manifest is the served one" cmp -s <(crlf_of "$work/out2/package.json") "$install/temp/package.json"
check "nothing is installed yet" same_file "$install/a.dll" "$r1/a.dll"
zq_end_program "$pid"

pid=$(zq_run "$install")
pids+=("$pid")
check "run two opens the learning shell after installing" zq_wait 30 zq_started "$install" zenquilo.exe 2
for f in a.dll bin/b.txt bin/新文件.txt 中文/课程.dat com/com_server.dll; do
  check "installed: $f" same_file "$install/$f" "$r2/$f"
done
check "deleted: old.txt" test ! -e "$install/old.txt"
check "the COM server is registered" zq_wait 30 test -f "$install/com/com_server.registered"
check "package.json is release 2's" cmp -s <(crlf_of "$work/out2/package.json") "$install/package.json"
check "no update is pending" test ! -e "$install/temp/package.json"
zq_end_program "$pid"

# --- 2. One changed file of a thousand ------------------------------------------
r10=$work/release10
mkdir -p "$r10/many"
for i in $(seq 1 1000); do printf 'file %d of release 10' "$i" >"$r10/many/f$i.txt"; done
r11=$work/release11
cp -r "$r10" "$r11"
printf 'file 500, changed in release 11' >"$r11/many/f500.txt"
zq_publish_release --release-dir "$r10" --version 10 --date 20261210 --base-url "$base" --out "$work/out10" >/dev/null
zq_publish_release --release-dir "$r11" --version 11 --date 20261211 --base-url "$base" --out "$work/out11" \
  --previous "$work/out10/package.json" >/dev/null
# Switching releases is one step for the server: the root is a symlink.
ln -sfn "$work/out11" "$work/current"

install=$work/install-many
zq_install_release "$install" "$ZQ_BUILD" "$r10" "$work/out10" "$base/soft/package.json"

log_lines=$(wc -l <"$run/access.log")
pid=$(zq_run "$install")
pids+=("$pid")
check "release 11 is staged" zq_wait 60 test -f "$install/temp/package.json"
check "only the changed file of 1,000 is fetched" test "$(fetched_since "$log_lines")" = "/files/2/many/f500.txt"
zq_end_program "$pid"
pid=$(zq_run "$install")
pids+=("$pid")
check "release 11 is installed" zq_wait 60 zq_started "$install" zenquilo.exe 2
check "the changed file is in place" same_file "$install/many/f500.txt" "$r11/many/f500.txt"
check "the others are untouched" same_file "$install/many/f1.txt" "$r10/many/f1.txt"
check "package.json is release 11's" cmp -s <(crlf_of "$work/out11/package.json") "$install/package.json"

echo
if [ "$failures" -eq 0 ]; then
  echo "nginx road: every check passed"
else
  echo "nginx road: $failures check(s) FAILED"
  exit 1
fi
