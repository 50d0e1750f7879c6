#!/usr/bin/env bash
# A release published by zq_publish, served by nginx with the update server's
# own configuration, installed by the real client under Wine:
#   1. release 1 installed, release 2 served: a changed file, a new file in a
#      sub-directory, Chinese names, a COM server to register, a deleted file.
#      Run one downloads exactly the changed files; run two installs them.
#   2. a release of 1,000 files where 60 changed: only those are fetched,
#      over a few kept-alive connections.
#   Both are signed, and installed by the client built without a key, which
#   ignores signatures and digests it does not know.
#   3. the client built with the test release key: a signed release installs;
#      one whose manifest was changed by a byte is not even fetched.
#   4. nginx stopped and started again in the middle of a large file: the
#      client resumes it with a range request and installs it.
#   Phase 1's releases come from the other architecture's publisher, so a
#   32-bit client installs what the 64-bit publisher made, and the reverse;
#   where 32-bit programs cannot run, from this build's own publisher.
# Usage: nginx_journey_test.sh WINDOWS_BUILD_DIR OTHER_ARCHITECTURE_BUILD_DIR
# (inside the Wine test environment).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
peer=${2:-}
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"
zq_probe_x86
if [ "$ZQ_X86_RUNS" = yes ] && { [ -z "$peer" ] || [ ! -f "$peer/publisher/zq_publish.exe" ]; }; then
  echo "the other architecture's build (with publisher/zq_publish.exe) is needed: '$peer'" >&2
  exit 1
fi

zq_journey_begin nginx-journey
run=$work/nginx

same_file() { cmp -s "$1" "$2"; }
crlf_of() { sed 's/$/\r/' "$1"; }
# The URLs of files and their smaller forms fetched since the log had LINES lines.
fetched_since() {
  tail -n +"$(($1 + 1))" "$run/access.log" | awk '{print $7}' | grep -E '^/(files|compressed|deltas)/' | sort || true
}

zq_test_key

port=$(zq_free_port)
base=http://127.0.0.1:$port
ln -sfn "$work/out2" "$work/current"
mkdir -p "$work/out2"

# --- 1. The journey of one incremental update ---------------------------------
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
if [ "$ZQ_X86_RUNS" = yes ]; then
  export ZQ_PUBLISH_BUILD=$peer
else
  echo "publishing with the other architecture's zq_publish: not run — $ZQ_X86_WHY"
fi
zq_publish_release --release-dir "$r1" --version 1 --date 20261201 --base-url "$base" --out "$work/out1" \
  "${sign[@]}" >/dev/null
zq_publish_release --release-dir "$r2" --version 2 --date 20261207 --base-url "$base" --out "$work/out2" \
  --previous "$work/out1/package.json" --reg 'com/*.dll' "${sign[@]}" >/dev/null
unset ZQ_PUBLISH_BUILD
check "release 2 is signed, its files have SHA-256 digests" \
  bash -c "test -s '$work/out2/package.json.sig' && grep -q '\"sha256\": ' '$work/out2/package.json'"
"$here/scripts/serve-release.sh" start "$work/current" "127.0.0.1:$port" "$run"
check "a file is served to be kept a year, a missing one is not" bash -c \
  "curl -sI '$base/files/2/a.dll' | grep -qi '^cache-control: .*immutable' &&
   ! curl -sI '$base/files/2/missing.dll' | grep -qi '^cache-control'"

install=$work/install
zq_install_release "$install" "$ZQ_BUILD" "$r1" "$work/out1" "$base/soft/package.json"

log_lines=$(wc -l <"$run/access.log")
pid=$(zq_run "$install")
pids+=("$pid")
check "run one opens the learning shell" zq_wait 30 zq_started "$install" zenquilo.exe 1
check "run one stages the update" zq_wait 60 test -f "$install/temp/package.json"
expected=$(printf '%s\n' /files/2/a.dll "/files/1/bin/%E6%96%B0%E6%96%87%E4%BB%B6.txt" \
  "/compressed/1/com/com_server.dll.zst" "/files/2/%E4%B8%AD%E6%96%87/%E8%AF%BE%E7%A8%8B.dat" | sort)
# old.txt, which release 2 deletes, has nothing to fetch. The text files are
# too small for a compressed copy to be smaller; the DLL comes compressed.
check "exactly the changed files are fetched" test "$(fetched_since "$log_lines")" = "$expected"
check "the manifest is requested with ?r= and the installed version" \
  grep -q 'GET /soft/package.json?r=-\?[0-9]*&v=1 ' "$run/access.log"
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
for i in $(seq 500 559); do printf 'file %d, changed in release 11' "$i" >"$r11/many/f$i.txt"; done
zq_publish_release --release-dir "$r10" --version 10 --date 20261210 --base-url "$base" --out "$work/out10" \
  "${sign[@]}" >/dev/null
zq_publish_release --release-dir "$r11" --version 11 --date 20261211 --base-url "$base" --out "$work/out11" \
  --previous "$work/out10/package.json" "${sign[@]}" >/dev/null
# Switching releases is one step for the server: the root is a symlink.
ln -sfn "$work/out11" "$work/current"

install=$work/install-many
zq_install_release "$install" "$ZQ_BUILD" "$r10" "$work/out10" "$base/soft/package.json"

log_lines=$(wc -l <"$run/access.log")
pid=$(zq_run "$install")
pids+=("$pid")
check "release 11 is staged" zq_wait 60 test -f "$install/temp/package.json"
check "only the 60 changed files of 1,000 are fetched" \
  test "$(fetched_since "$log_lines")" = "$(for i in $(seq 500 559); do echo "/files/2/many/f$i.txt"; done | sort)"
# The files share a few kept-alive connections instead of one each.
connections=$(tail -n +"$((log_lines + 1))" "$run/access.log" | awk '$7 ~ /^\/files\// {print $NF}' | sort -u | wc -l)
check "60 files come over $connections connections, at most 8" test "$connections" -le 8
zq_end_program "$pid"
pid=$(zq_run "$install")
pids+=("$pid")
check "release 11 is installed" zq_wait 60 zq_started "$install" zenquilo.exe 2
check "the changed files are in place" same_file "$install/many/f559.txt" "$r11/many/f559.txt"
check "the others are untouched" same_file "$install/many/f1.txt" "$r10/many/f1.txt"
check "package.json is release 11's" cmp -s <(crlf_of "$work/out11/package.json") "$install/package.json"
zq_end_program "$pid"

# --- 3. The client that demands signatures ----------------------------------------
# Release 11 installed, release 12 signed and served; the client built with the
# test key.
r12=$work/release12
cp -r "$r11" "$r12"
printf 'file 7, changed in release 12' >"$r12/many/f7.txt"
zq_publish_release --release-dir "$r12" --version 12 --date 20261212 --base-url "$base" --out "$work/out12" \
  --previous "$work/out11/package.json" "${sign[@]}" >/dev/null
ln -sfn "$work/out12" "$work/current"
install=$work/install-signed
zq_install_release "$install" "$ZQ_BUILD" "$r11" "$work/out11" "$base/soft/package.json"
cp "$ZQ_BUILD/fixtures/signed/ZenquiloStudent.exe" "$install/ZenquiloStudent.exe"

log_lines=$(wc -l <"$run/access.log")
pid=$(zq_run "$install")
pids+=("$pid")
check "the signed release 12 is staged" zq_wait 60 test -f "$install/temp/package.json"
check "its signature was fetched beside the manifest" \
  bash -c "tail -n +$((log_lines + 1)) '$run/access.log' | grep -q 'GET /soft/package.json.sig?r=-\?[0-9]*&v=11 HTTP/1.1\" 200 '"
check "the signature is kept with the pending manifest" cmp -s "$work/out12/package.json.sig" "$install/temp/package.json.sig"
zq_end_program "$pid"
pid=$(zq_run "$install")
pids+=("$pid")
check "release 12 is installed" zq_wait 60 zq_started "$install" zenquilo.exe 2
check "its changed file is in place" same_file "$install/many/f7.txt" "$r12/many/f7.txt"
check "package.json is release 12's" cmp -s <(crlf_of "$work/out12/package.json") "$install/package.json"
zq_end_program "$pid"

# The same release with one byte of its manifest changed on the server.
cp -r "$work/out12" "$work/out12-forged"
sed -i 's/"version": "12"/"version": "13"/' "$work/out12-forged/package.json"
ln -sfn "$work/out12-forged" "$work/current"
log_lines=$(wc -l <"$run/access.log")
pid=$(zq_run "$install")
pids+=("$pid")
check "the forged manifest is requested" zq_wait 30 \
  bash -c "tail -n +$((log_lines + 1)) '$run/access.log' | grep -q 'GET /soft/package.json.sig'"
sleep 3
check "nothing it names is fetched" test -z "$(fetched_since "$log_lines")"
check "nothing is staged" test ! -e "$install/temp/package.json"
check "release 12 stays installed" cmp -s <(crlf_of "$work/out12/package.json") "$install/package.json"
zq_end_program "$pid"

# --- 4. nginx restarted in the middle of a large file -------------------------------
r20=$work/release20
mkdir -p "$r20/big"
printf 'small, release 20' >"$r20/small.txt"
head -c 1000 /dev/urandom >"$r20/big/video.bin"
r21=$work/release21
cp -r "$r20" "$r21"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$r21/big/video.bin"
zq_publish_release --release-dir "$r20" --version 20 --date 20261220 --base-url "$base" --out "$work/out20" \
  "${sign[@]}" >/dev/null
zq_publish_release --release-dir "$r21" --version 21 --date 20261221 --base-url "$base" --out "$work/out21" \
  --previous "$work/out20/package.json" "${sign[@]}" >/dev/null
ln -sfn "$work/out21" "$work/current"
# Slowed down, so the file is still on its way when the server goes.
"$here/scripts/serve-release.sh" stop "$run"
ZQ_NGINX_EXTRA='limit_rate 3m;' "$here/scripts/serve-release.sh" start "$work/current" "127.0.0.1:$port" "$run"
install=$work/install-resume
zq_install_release "$install" "$ZQ_BUILD" "$r20" "$work/out20" "$base/soft/package.json"
cp "$ZQ_BUILD/fixtures/signed/ZenquiloStudent.exe" "$install/ZenquiloStudent.exe"

partial=$install/temp/big/video.bin.zqdownload
has_bytes() { [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -gt "$2" ]; }
log_lines=$(wc -l <"$run/access.log")
pid=$(zq_run "$install")
pids+=("$pid")
check "the large file is on its way" zq_wait 60 has_bytes "$partial" $((2 * 1024 * 1024))
# A fast shutdown closes every connection at once, as a server restart does.
"$here/scripts/serve-release.sh" stop "$run"
ZQ_NGINX_EXTRA='limit_rate 3m;' "$here/scripts/serve-release.sh" start "$work/current" "127.0.0.1:$port" "$run"
check "release 21 is staged after the restart" zq_wait 90 test -f "$install/temp/package.json"
check "the file was resumed: nginx answered a range with 206" \
  bash -c "grep -q 'GET /files/2/big/video.bin HTTP/1.1\" 206 ' '$run/access.log'"
check "no partial download is left" test ! -e "$partial"
zq_end_program "$pid"
pid=$(zq_run "$install")
pids+=("$pid")
check "release 21 is installed" zq_wait 60 zq_started "$install" zenquilo.exe 2
check "the large file is whole" same_file "$install/big/video.bin" "$r21/big/video.bin"

zq_report "nginx journey"
