#!/usr/bin/env bash
# The real client under Wine on a school network's proxy settings: Debian's
# squid on loopback as the school's proxy (a private configuration, started
# and stopped here), nginx as the update server. For each row of settings,
# written into the Wine prefix's registry as Windows keeps them, one start of
# the program must fetch its manifest by the road the row names: through
# squid (the request is in squid's access log) or directly (nginx's alone).
# Then a whole update through the proxy a PAC file names: every request goes
# through squid, and the PAC file is read once. The prefix's proxy settings
# are put back as they were at the end.
# Usage: proxy_journey_test.sh WINDOWS_BUILD_DIR (inside the Wine test environment).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"

zq_journey_begin proxy-journey
user_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
# The machine's WinHTTP proxy is kept per registry view, as Windows keeps it
# (a 32-bit program reads what SysWOW64's netsh set): the view of this build.
machine_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
[ "${ZQ_ARCH:-x64}" = x86 ] &&
  machine_key='HKLM\Software\WOW6432Node\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'

# --- The prefix's settings, kept to be put back ------------------------------------------
# saved_value KEY NAME: the REG_BINARY value's hex digits, empty when it is not set.
saved_value() {
  "$WINE" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v name="$2" '$1 == name && $2 == "REG_BINARY" {print $3}' || true
}
saved_user=$(saved_value "$user_key" DefaultConnectionSettings)
saved_machine=$(saved_value "$machine_key" WinHttpSettings)
clear_settings() {
  "$WINE" reg delete "$user_key" /v DefaultConnectionSettings /f >/dev/null 2>&1 || true
  "$WINE" reg delete "$machine_key" /v WinHttpSettings /f >/dev/null 2>&1 || true
}
end_journey() {
  zq_stop_squid
  clear_settings
  if [ -n "$saved_user" ]; then
    "$WINE" reg add "$user_key" /v DefaultConnectionSettings /t REG_BINARY /d "$saved_user" /f >/dev/null
  fi
  if [ -n "$saved_machine" ]; then
    "$WINE" reg add "$machine_key" /v WinHttpSettings /t REG_BINARY /d "$saved_machine" /f >/dev/null
  fi
  zq_journey_end
}
trap end_journey EXIT

# --- Registry values as Windows writes them ------------------------------------------------
dword_hex() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
text_hex() { dword_hex ${#1}; printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
# user_settings FLAGS PROXY BYPASS PAC_URL: DefaultConnectionSettings, whose
# flags are 1 direct, 2 fixed proxy, 4 PAC file, 8 automatic detection.
user_settings() {
  "$WINE" reg add "$user_key" /v DefaultConnectionSettings /t REG_BINARY \
    /d "$(dword_hex 0x46)$(dword_hex 1)$(dword_hex "$1")$(text_hex "$2")$(text_hex "$3")$(text_hex "${4:-}")" /f >/dev/null
}
# machine_settings PROXY BYPASS: the machine's WinHTTP proxy (netsh winhttp set proxy).
machine_settings() {
  "$WINE" reg add "$machine_key" /v WinHttpSettings /t REG_BINARY \
    /d "$(dword_hex 0x18)$(dword_hex 0)$(dword_hex 2)$(text_hex "$1")$(text_hex "$2")" /f >/dev/null
}

# --- The school's proxy and the update server ------------------------------------------------
new_port; server_port=${ports[-1]}
new_port; squid_port=${ports[-1]}
new_port; dead_port=${ports[-1]}
server=127.0.0.1:$server_port
school_proxy=127.0.0.1:$squid_port

zq_start_squid "$work/squid" "$school_proxy"

# Release 1 installed, release 2 served: a check finds an update due.
zq_small_releases "http://$server"
zq_publish_release --release-dir "$r2" --version 2 --date 20261202 --base-url "http://$server" --out "$work/out2" \
  --previous "$work/out1/package.json" >/dev/null
root=$work/out2
# A PAC file for each answer a school's script gives, where the update
# server serves files.
printf 'function FindProxyForURL(url, host) { return "PROXY %s; DIRECT"; }\n' "$school_proxy" >"$root/files/proxy.pac"
printf 'function FindProxyForURL(url, host) { return "DIRECT"; }\n' >"$root/files/direct.pac"
"$here/scripts/serve-release.sh" start "$root" "$server" "$work/nginx"

# The table's PC already has release 2: its checks fetch the manifest alone.
install=$work/install
zq_layout_install "$install" "$ZQ_BUILD"
cp "$root/package.json" "$install/package.json"

# --- One start per row ------------------------------------------------------------------------
manifest_lines() { grep -c 'GET [^ ]*/soft/package.json' "$1" 2>/dev/null || true; }
# road_of SETUP...: runs SETUP, starts the program once and waits for its
# check to end (the learning shell opens after it); prints "proxy" when
# the manifest came through squid, "direct" when only nginx saw it, "none"
# when it never arrived.
road_of() {
  clear_settings
  "$@"
  local squid_before server_before pid shells began=$SECONDS road=none
  shells=$(zq_starts "$install" zenquilo.exe)
  squid_before=$(manifest_lines "$work/squid/access.log")
  server_before=$(manifest_lines "$work/nginx/access.log")
  pid=$(zq_run "$install")
  # Either road ends at nginx; squid writes its line once it has passed the
  # answer on, so it is given a moment after nginx.
  if zq_wait 30 bash -c "[ \$(grep -c 'GET [^ ]*/soft/package.json' '$work/nginx/access.log') -gt $server_before ]"; then
    road=direct
    zq_wait 3 bash -c "[ \$(grep -c 'GET [^ ]*/soft/package.json' '$work/squid/access.log') -gt $squid_before ]" &&
      road=proxy
  fi
  zq_wait 30 zq_started "$install" zenquilo.exe $((shells + 1)) || echo "  (the learning shell did not open)" >&2
  zq_end_program "$pid"
  echo "  (${*:-no settings}: $((SECONDS - began)) s)" >&2
  echo "$road"
}
settings_file() { printf '[global]\r\nURL_UPDATE_PACKAGE=http://%s/soft/package.json\r\n%s' "$server" "$1" \
  >"$install/zenquilostudent.ini"; }
overriding() { settings_file "PROXY=$1"$'\r\n'; shift; "$@"; }
nothing() { :; }
# Loopback never goes through a fixed proxy unless the bypass list says
# "<-loopback>", as on Windows: the rows that expect squid say it.
fixed() { user_settings 2 "$school_proxy" "<-loopback>"; }
fixed_bypassing_local() { user_settings 2 "$school_proxy" "<-loopback>;<local>"; }
fixed_bypassing_server() { user_settings 2 "$school_proxy" "<-loopback>;127.0.0.*"; }
pac_proxy() { user_settings 4 "" "" "http://$server/files/proxy.pac"; }
# Beside a fixed proxy, so that a PAC file that was never read shows.
pac_direct() { user_settings 6 "$school_proxy" "<-loopback>" "http://$server/files/direct.pac"; }
pac_unreadable() { user_settings 6 "$school_proxy" "<-loopback>" "http://$server/files/missing.pac"; }
unreachable() { user_settings 2 "127.0.0.1:$dead_port" "<-loopback>"; }
detection_only() { user_settings 9 "" "" ""; }
machine_proxy() { "$WINE" reg delete "$user_key" /v DefaultConnectionSettings /f >/dev/null 2>&1 || true
  machine_settings "$school_proxy" "<-loopback>"; }

settings_file ""
rows=(
  "no settings (detection on, nothing found)|nothing|direct"
  "automatic detection ticked, no WPAD|detection_only|direct"
  "fixed proxy|fixed|proxy"
  "fixed proxy, server bypassed by a wildcard|fixed_bypassing_server|direct"
  "PAC file answering PROXY|pac_proxy|proxy"
  "PAC file answering DIRECT, fixed proxy beside it|pac_direct|direct"
  "PAC file that cannot be read, fixed proxy beside it|pac_unreadable|proxy"
  "fixed proxy that cannot be reached|unreachable|direct"
  "no user settings, the machine's WinHTTP proxy|machine_proxy|proxy"
  "PROXY=DIRECT over a fixed proxy|overriding DIRECT fixed|direct"
  "PROXY=<squid> over no settings|overriding $school_proxy nothing|proxy"
)
for row in "${rows[@]}"; do
  IFS='|' read -r what setup expected <<<"$row"
  # shellcheck disable=SC2086
  road=$(road_of $setup)
  settings_file ""
  check "$what: the manifest came $expected (came $road)" test "$road" = "$expected"
done

# "<local>" is about names: the same server by a name without a dot.
printf '[global]\r\nURL_UPDATE_PACKAGE=http://localhost:%s/soft/package.json\r\n' "$server_port" \
  >"$install/zenquilostudent.ini"
road=$(road_of fixed)
check "fixed proxy, server by a dotless name: through the proxy (came $road)" test "$road" = proxy
road=$(road_of fixed_bypassing_local)
check "fixed proxy, <local> in the bypass list, server by a dotless name: direct (came $road)" test "$road" = direct

# --- A whole update through the proxy a PAC file names --------------------------------------
# Every request of the update (manifest, then the files) takes squid, and
# the PAC file is read once for all of them.
update=$work/update
zq_install_release "$update" "$ZQ_BUILD" "$r1" "$work/out1" "http://$server/soft/package.json"
clear_settings
pac_proxy
squid_before=$(wc -l <"$work/squid/access.log")
server_before=$(wc -l <"$work/nginx/access.log")
pid=$(zq_run "$update")
pids+=("$pid")
check "through the PAC file's proxy, release 2 is staged" zq_wait 60 test -f "$update/temp/package.json"
zq_end_program "$pid"
sleep 1
through_squid=$(tail -n +"$((squid_before + 1))" "$work/squid/access.log" | awk '{print $7}' | sed 's|^http://[^/]*||; s/?.*//' |
  sort | tr '\n' ' ')
check "the manifest and both files came through squid (came: $through_squid)" \
  test "$through_squid" = "/files/1/bin/b.txt /files/2/a.dll /soft/package.json "
pac_reads=$(tail -n +"$((server_before + 1))" "$work/nginx/access.log" | grep -c 'GET /files/proxy.pac' || true)
check "the PAC file was read once for the three requests (read $pac_reads times)" test "$pac_reads" = 1

zq_report "proxy journey"
