#!/usr/bin/env bash
# An operator's journey with a bad release, served by nginx with the update
# server's configuration and taken by the real client (built with the test
# release key) under Wine:
#   1. release 2 published to 0% of PCs: the client fetches the manifest and
#      its signature and nothing else, and stages nothing.
#   2. widened in place to 100% (signed again): run one stages release 2.
#      Halted again before run two: run two still installs what it staged.
#      A PC that has seen the halt is then served the widened text again (a
#      stale cache's replay): it fetches nothing beyond the manifest.
#   3. release 2 was bad: rolled back as release 3, made of release 1's
#      files. After its two runs the install holds exactly release 1's files.
# Usage: rollout_journey_test.sh WINDOWS_BUILD_DIR (inside the Wine test environment).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"

zq_journey_begin rollout-journey
run=$work/nginx

requested_since() {  # LINES: request paths logged since the log had LINES lines
  tail -n +"$(($1 + 1))" "$run/access.log" | awk '{print $7}' | sed 's/?.*//'
}
# The release's own files in an install: not the program, the stand-in
# shells and what they record, the settings, the manifest or temp\.
release_files() {
  (cd "$1" && find . -type f ! -path './temp/*' ! -name 'ZenquiloStudent.exe' ! -name 'zenquilo.exe' \
    ! -name 'zenquilo_live.exe' ! -name '*.cmdline' ! -name 'zenquilostudent.ini' ! -name 'package.json' | sort)
}
same_tree() {  # INSTALL RELEASE_DIR: the same files with the same bytes
  [ "$(release_files "$1")" = "$(cd "$2" && find . -type f | sort)" ] || return 1
  local f
  for f in $(cd "$2" && find . -type f); do cmp -s "$1/$f" "$2/$f" || return 1; done
}
start_client() {
  local pid
  pid=$(zq_run "$install")
  pids+=("$pid")
  echo "$pid"
}

zq_test_key
port=$(zq_free_port)
base=http://127.0.0.1:$port

r1=$work/release1
r2=$work/release2
mkdir -p "$r1/bin" "$r2/bin"
printf 'a, release 1' >"$r1/a.dll"
printf 'b, unchanged' >"$r1/bin/b.txt"
printf 'removed by release 2' >"$r1/old.txt"
printf 'a, release 2 (the bad one)' >"$r2/a.dll"
cp "$r1/bin/b.txt" "$r2/bin/b.txt"
printf 'added by release 2' >"$r2/bin/new.txt"
zq_publish_release --release-dir "$r1" --version 1 --date 20261201 --base-url "$base" --out "$work/out1" \
  "${sign[@]}" >/dev/null
zq_publish_release --release-dir "$r2" --version 2 --date 20261202 --base-url "$base" --out "$work/out2" \
  --previous "$work/out1/package.json" --rollout 0 "${sign[@]}" >/dev/null
ln -sfn "$work/out2" "$work/current"
"$here/scripts/serve-release.sh" start "$work/current" "127.0.0.1:$port" "$run"

install=$work/install
zq_install_release "$install" "$ZQ_BUILD" "$r1" "$work/out1" "$base/soft/package.json"
cp "$ZQ_BUILD/fixtures/signed/ZenquiloStudent.exe" "$install/ZenquiloStudent.exe"

# --- 1. Published to nobody ------------------------------------------------------------
log_lines=$(wc -l <"$run/access.log")
pid=$(start_client)
check "the learning shell opens" zq_wait 30 zq_started "$install" zenquilo.exe 1
check "the manifest's signature is fetched" zq_wait 30 bash -c "grep -q 'GET /soft/package.json.sig' '$run/access.log'"
sleep 3
check "outside the share, only the manifest and its signature are fetched" \
  test "$(requested_since "$log_lines" | sort -u | tr '\n' ' ')" = "/soft/package.json /soft/package.json.sig "
check "nothing is staged" test ! -e "$install/temp/package.json"
zq_end_program "$pid"

# --- 2. Widened to everybody, then halted after staging ----------------------------------
zq_publish_release rollout --out "$work/out2" --percent 100 "${sign[@]}" >/dev/null
pid=$(start_client)
check "widened, run one stages release 2" zq_wait 60 test -f "$install/temp/package.json"
zq_end_program "$pid"
mkdir -p "$work/widened"
cp "$work/out2/package.json" "$work/out2/package.json.sig" "$work/widened/"
zq_publish_release rollout --out "$work/out2" --percent 0 "${sign[@]}" >/dev/null
pid=$(start_client)
check "halted, run two still installs what run one staged" zq_wait 60 zq_started "$install" zenquilo.exe 3
check "release 2 is installed" same_tree "$install" "$r2"
zq_end_program "$pid"

other=$work/other
zq_install_release "$other" "$ZQ_BUILD" "$r1" "$work/out1" "$base/soft/package.json"
cp "$ZQ_BUILD/fixtures/signed/ZenquiloStudent.exe" "$other/ZenquiloStudent.exe"
for served in halted replayed; do
  [ "$served" = replayed ] && cp "$work/widened/package.json" "$work/widened/package.json.sig" "$work/out2/"
  log_lines=$(wc -l <"$run/access.log")
  pid=$(zq_run "$other")
  pids+=("$pid")
  check "another PC, $served: its signature is fetched" \
    zq_wait 30 bash -c "tail -n +$((log_lines + 1)) '$run/access.log' | grep -q 'GET /soft/package.json.sig'"
  sleep 3
  check "another PC, $served: only the manifest and its signature are fetched" \
    test "$(requested_since "$log_lines" | sort -u | tr '\n' ' ')" = "/soft/package.json /soft/package.json.sig "
  check "another PC, $served: nothing is staged" test ! -e "$other/temp/package.json"
  zq_end_program "$pid"
done

# --- 3. Rolled back to release 1's files ----------------------------------------------------
zq_publish_release rollback --to "$work/out1" --version 3 --out "$work/out3" --previous "$work/out2/package.json" \
  "${sign[@]}" >/dev/null
ln -sfn "$work/out3" "$work/current"
pid=$(start_client)
check "run one stages the rollback" zq_wait 60 test -f "$install/temp/package.json"
zq_end_program "$pid"
pid=$(start_client)
check "run two installs it" zq_wait 60 zq_started "$install" zenquilo.exe 5
check "the install holds exactly release 1's files" same_tree "$install" "$r1"
check "and says version 3" grep -q '"version": "3"' "$install/package.json"
zq_end_program "$pid"

zq_report "rollout journey"
