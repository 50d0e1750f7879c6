#!/usr/bin/env bash
# Group Policy over the settings file, with the real client under Wine and
# nginx as the update server. The values are written into the prefix's
# HKLM\Software\Policies\Zenquilo\ZenquiloStudent as Group Policy writes them
# (the native view; Wine, like Windows, shows a 32-bit client the same key),
# and the settings file names other things for each: a dead update URL,
# another home page, DIRECT.
#   1. the policy's update URL wins, and HIGHEST_VERSION 1 holds release 2
#      back: the manifest is fetched, nothing else, nothing staged.
#   2. updates turned off: not a request reaches nginx, and the learning
#      shell still opens, on the policy's home page.
#   3. the policy's proxy (a second nginx, which answers a proxy's requests
#      from its own root) wins over the file's DIRECT, and HIGHEST_VERSION 2
#      lets release 2 in: it is staged, every request through the proxy.
# The policy key is removed at the end.
# Usage: policy_journey_test.sh WINDOWS_BUILD_DIR (inside the Wine test environment).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"

zq_journey_begin policy-journey
policy_key='HKLM\Software\Policies\Zenquilo\ZenquiloStudent'
clear_policy() { "$WINE" reg delete "$policy_key" /f /reg:64 >/dev/null 2>&1 || true; }
end_journey() {
  clear_policy
  zq_journey_end
}
trap end_journey EXIT
clear_policy
# policy NAME REG_SZ|REG_DWORD VALUE
policy() { "$WINE" reg add "$policy_key" /v "$1" /t "$2" /d "$3" /f /reg:64 >/dev/null; }
lines_of() { wc -l <"$1/access.log"; }
since() { tail -n +"$(($2 + 1))" "$1/access.log"; }

new_port; origin_port=${ports[-1]}
new_port; proxy_port=${ports[-1]}
new_port; dead_port=${ports[-1]}
base=http://127.0.0.1:$origin_port
origin=$work/origin
proxy=$work/proxy

r1=$work/release1
r2=$work/release2
mkdir -p "$r1" "$r2"
printf 'a, release 1' >"$r1/a.dll"
printf 'a, release 2' >"$r2/a.dll"
zq_publish_release --release-dir "$r1" --version 1 --date 20261201 --base-url "$base" --out "$work/out1" >/dev/null
zq_publish_release --release-dir "$r2" --version 2 --date 20261202 --base-url "$base" --out "$work/out2" \
  --previous "$work/out1/package.json" >/dev/null
"$here/scripts/serve-release.sh" start "$work/out2" "127.0.0.1:$origin_port" "$origin"
"$here/scripts/serve-release.sh" start "$work/out2" "127.0.0.1:$proxy_port" "$proxy"

install=$work/install
zq_install_release "$install" "$ZQ_BUILD" "$r1" "$work/out1" "http://127.0.0.1:$dead_port/soft/package.json"
printf 'URL_HOME_PACKAGE=http://home.from-the-file.example/\r\nPROXY=DIRECT\r\n' >>"$install/zenquilostudent.ini"
opened_on() {  # COUNT URL: the learning shell's COUNT-th start is on URL
  zq_wait 30 zq_started "$install" zenquilo.exe "$1" &&
    zq_last_command_line "$install" zenquilo.exe | grep -q -- "--url=$2"
}
start_client() {
  pid=$(zq_run "$install")
  pids+=("$pid")
}

# --- 1. The policy's update URL, and a highest version below the release ---------------
policy URL_UPDATE_PACKAGE REG_SZ "$base/soft/package.json"
policy HIGHEST_VERSION REG_DWORD 1
start_client
check "the manifest is fetched from the policy's URL" \
  zq_wait 30 bash -c "grep -q 'GET /soft/package.json?r=-\?[0-9]*&v=1 ' '$origin/access.log'"
check "the learning shell opens on the file's home page" opened_on 1 http://home.from-the-file.example/
sleep 3
check "held back at version 1: nothing but the manifest is fetched" \
  test "$(awk '{print $7}' "$origin/access.log" | sed 's/?.*//' | sort -u)" = /soft/package.json
check "held back at version 1: nothing is staged" test ! -e "$install/temp/package.json"
zq_end_program "$pid"

# --- 2. Updates turned off ---------------------------------------------------------------------
policy UPDATES_ENABLED REG_DWORD 0
policy URL_HOME_PACKAGE REG_SZ http://home.from-policy.example/
origin_lines=$(lines_of "$origin")
start_client
check "turned off, the learning shell still opens, on the policy's home page" \
  opened_on 2 http://home.from-policy.example/
sleep 5
check "turned off, no request reaches the server or the proxy" \
  test "$(since "$origin" "$origin_lines" | wc -l) $(lines_of "$proxy")" = "0 0"
zq_end_program "$pid"

# --- 3. The policy's proxy, and a highest version at the release -------------------------------
policy UPDATES_ENABLED REG_DWORD 1
policy HIGHEST_VERSION REG_DWORD 2
policy PROXY REG_SZ "127.0.0.1:$proxy_port"
origin_lines=$(lines_of "$origin")
start_client
check "allowed up to version 2, release 2 is staged" zq_wait 60 test -f "$install/temp/package.json"
check "the staged file is release 2's" cmp -s "$install/temp/a.dll" "$r2/a.dll"
check "every request went through the policy's proxy, none direct" \
  test "$(since "$origin" "$origin_lines" | wc -l)" = 0
check "the proxy carried the manifest and the file" bash -c \
  "grep -q 'GET $base/soft/package.json?r=' '$proxy/access.log' && grep -q 'GET $base/files/2/a.dll' '$proxy/access.log'"
zq_end_program "$pid"

zq_report "policy journey"
