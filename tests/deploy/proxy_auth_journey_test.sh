#!/usr/bin/env bash
# The real client under Wine behind a school's proxy that asks who is there:
# our own proxy (ntlm_proxy.py) wants NTLM from one known user and forwards to
# nginx, the update server. Wine's SSPI answers with the credential stored for
# the proxy's host, which stands in for the user's logon.
#   - the right credential: a whole update through the proxy, every request
#     authenticated as the user, release 2 staged;
#   - a wrong one: the check fails after one handshake, nothing is staged,
#     the learning shell still opens;
#   - a proxy that wants Basic: no password ever leaves the PC.
# The stored credential is removed at the end.
# Usage: proxy_auth_journey_test.sh WINDOWS_BUILD_DIR (inside the Wine test environment).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"

zq_journey_begin proxy-auth-journey
credentials=$ZQ_BUILD/tests/credential_store.exe
user='ZQSCHOOL\student'
password='Pupil-2026'
new_port; server_port=${ports[-1]}
new_port; ntlm_port=${ports[-1]}
new_port; basic_port=${ports[-1]}
server=127.0.0.1:$server_port
# Wine's NTLM looks the credential up by the host of the proxy's name.
credential_target=127.0.0.1

proxy_pids=()
end_journey() {
  local pid
  for pid in "${proxy_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  "$WINE" "$credentials" delete "$credential_target" >/dev/null 2>&1 || true
  zq_journey_end
}
trap end_journey EXIT

# start_proxy PORT LOG ARGS...: our proxy on 127.0.0.1:PORT, logging to LOG.
start_proxy() {
  local port=$1 log=$2
  shift 2
  : >"$log"
  python3 "$here/tests/deploy/ntlm_proxy.py" --listen "127.0.0.1:$port" --log "$log" "$@" >/dev/null 2>&1 &
  proxy_pids+=($!)
  zq_wait 20 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null || { echo "the proxy did not start" >&2; exit 1; }
}
start_proxy "$ntlm_port" "$work/ntlm.log" --user student --password "$password"
start_proxy "$basic_port" "$work/basic.log" --basic-only

# Release 1 installed, release 2 served: a check finds an update due.
zq_small_releases "http://$server"
zq_publish_release --release-dir "$r2" --version 2 --date 20261202 --base-url "http://$server" --out "$work/out2" \
  --previous "$work/out1/package.json" >/dev/null
"$here/scripts/serve-release.sh" start "$work/out2" "$server" "$work/nginx"
nginx_lines() { wc -l <"$work/nginx/access.log"; }

# install_behind NAME PORT: release 1 installed, its checks going through 127.0.0.1:PORT.
install_behind() {
  zq_install_release "$work/$1" "$ZQ_BUILD" "$r1" "$work/out1" "http://$server/soft/package.json"
  printf 'PROXY=127.0.0.1:%s\r\n' "$2" >>"$work/$1/zenquilostudent.ini"
}
# store PASSWORD: the user's credential, as the logon would leave it.
store() { "$WINE" "$credentials" store "$credential_target" "$user" "$1" </dev/null >/dev/null; }
# refused_run NAME LOG: starts the program and waits for its check to end at
# the proxy: the learning shell has opened and the proxy has been silent for
# longer than the manifest's 3 seconds.
refused_run() {
  local install=$work/$1 log=$2 pid lines=-1
  pid=$(zq_run "$install")
  pids+=("$pid")
  check "$1: the learning shell opens" zq_wait 30 zq_started "$install" zenquilo.exe 1
  zq_wait 30 test -s "$log" || true
  while [ "$lines" != "$(wc -l <"$log")" ]; do
    lines=$(wc -l <"$log")
    sleep 4
  done
  zq_end_program "$pid"
}

# --- The right credential: a whole update through the proxy -----------------------------
store "$password"
install_behind right "$ntlm_port"
nginx_before=$(nginx_lines)
pid=$(zq_run "$work/right")
pids+=("$pid")
check "right credential: release 2 is staged through the proxy" zq_wait 60 test -f "$work/right/temp/package.json"
zq_end_program "$pid"
served=$(awk '$4 == 200 {print $2}' "$work/ntlm.log" | sed 's|^http://[^/]*||; s/?.*//' | sort | tr '\n' ' ')
check "right credential: the manifest and both files came through the proxy (came: $served)" \
  test "$served" = "/files/1/bin/b.txt /files/2/a.dll /soft/package.json "
check "right credential: each of them as the user" \
  test "$(awk '$4 == 200 && $3 != "student"' "$work/ntlm.log" | wc -l)" = 0
check "right credential: nginx saw the three requests" test "$(($(nginx_lines) - nginx_before))" = 3

# --- A wrong credential: one handshake, then the check fails -----------------------------
store "wrong-$password"
install_behind wrong "$ntlm_port"
: >"$work/ntlm.log"
nginx_before=$(nginx_lines)
refused_run wrong "$work/ntlm.log"
check "wrong credential: nothing is staged" test ! -e "$work/wrong/temp/package.json"
check "wrong credential: nothing reached nginx" test "$(nginx_lines)" = "$nginx_before"
requests=$(wc -l <"$work/ntlm.log")
check "wrong credential: one handshake, not a loop ($requests requests)" test "$requests" -ge 2 -a "$requests" -le 3
check "wrong credential: every request was refused" test "$(awk '$4 != 407' "$work/ntlm.log" | wc -l)" = 0

# --- A proxy that wants Basic: no password is sent -----------------------------------------
store "$password"
install_behind basic "$basic_port"
nginx_before=$(nginx_lines)
refused_run basic "$work/basic.log"
check "Basic wanted: nothing is staged" test ! -e "$work/basic/temp/package.json"
check "Basic wanted: the proxy was asked once ($(wc -l <"$work/basic.log") requests)" \
  test "$(wc -l <"$work/basic.log")" = 1
check "Basic wanted: no credentials of any kind were sent" \
  test "$(awk '$5 != "-"' "$work/basic.log" | wc -l)" = 0
check "Basic wanted: nothing reached nginx" test "$(nginx_lines)" = "$nginx_before"

zq_report "proxy auth journey"
