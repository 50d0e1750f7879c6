# Sourced by the demo and the deployment tests: laying out an install
# directory, running ZenquiloStudent under Wine, and reading what the
# stand-in shells recorded. Needs scripts/wine-env.sh started (zq_wine_start).

zq_journey_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# zq_journey_begin NAME: a test's scratch directory $work and its list pids of
# programs started with zq_run. At exit those programs and the stand-in
# shells end, every private nginx whose state lies below $work stops, and
# $work goes.
zq_journey_begin() {
  work=$(mktemp -d "/tmp/zq-$1.XXXXXX")
  pids=()
  trap zq_journey_end EXIT
}
zq_journey_end() {
  local pid state
  for pid in "${pids[@]}"; do zq_end_program "$pid"; done
  "$WINE" taskkill /f /im zenquilo.exe >/dev/null 2>&1 || true
  "$WINE" taskkill /f /im zenquilo_live.exe >/dev/null 2>&1 || true
  for state in "$work"/*/nginx.pid; do
    [ -e "$state" ] && "$zq_journey_root/scripts/serve-release.sh" stop "$(dirname "$state")" || true
  done
  rm -rf "$work"
}

# zq_test_key: the test release key as the publisher takes it (readable by
# its owner alone) in $work/keys/release.key, and sign=(--sign-key that).
zq_test_key() {
  mkdir -p "$work/keys"
  cp "$zq_journey_root/tests/fixtures/test_release.key" "$work/keys/release.key"
  chmod 600 "$work/keys/release.key"
  sign=(--sign-key "$work/keys/release.key")
}

# zq_layout_install INSTALL BUILD: the program and the stand-in shells.
zq_layout_install() {
  mkdir -p "$1"
  cp "$2/ZenquiloStudent.exe" "$2/fixtures/zenquilo.exe" "$2/fixtures/zenquilo_live.exe" "$1/"
}

# zq_install_release INSTALL BUILD RELEASE PUBLISHED URL: an install directory
# as the installer leaves it: the release's files and its published manifest,
# the program and the stand-in shells, and the settings naming the manifest URL.
zq_install_release() {
  zq_layout_install "$1" "$2"
  cp -r "$3/." "$1/"
  cp "$4/package.json" "$1/package.json"
  zq_point_at_server "$1" "$5"
}

# zq_point_at_server INSTALL URL: the settings file naming the manifest URL.
zq_point_at_server() {
  printf '[global]\r\nURL_UPDATE_PACKAGE=%s\r\n' "$2" >"$1/zenquilostudent.ini"
}

# zq_run INSTALL [ARGS...]: starts the program in the background; prints its pid.
zq_run() {
  local install=$1
  shift
  "$WINE" "$install/ZenquiloStudent.exe" "$@" >/dev/null 2>&1 </dev/null &
  echo $!
}

# zq_starts INSTALL EXE: how many times the stand-in EXE has started.
zq_starts() {
  ls "$1/$2".*.cmdline 2>/dev/null | wc -l
}

# zq_started INSTALL EXE COUNT: whether the stand-in has started COUNT times.
zq_started() {
  [ "$(zq_starts "$1" "$2")" -ge "$3" ]
}

# zq_last_command_line INSTALL EXE: the command line of its latest start.
zq_last_command_line() {
  local file
  file=$(ls "$1/$2".*.cmdline 2>/dev/null | sort | tail -n 1)
  [ -n "$file" ] && iconv -f UTF-16LE -t UTF-8 "$file"
}

# zq_wait SECONDS COMMAND...: polls COMMAND until it succeeds.
zq_wait() {
  local limit=$1 i
  shift
  for i in $(seq 1 $((limit * 10))); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# zq_end_program PID: ends a resident copy started by zq_run.
zq_end_program() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# zq_publish_release ARGS...: runs the release publisher, the native one when
# ZQ_PUBLISH names it, else a Windows build's under Wine: ZQ_PUBLISH_BUILD's
# (another build directory) or ZQ_BUILD's.
zq_publish_release() {
  if [ -n "${ZQ_PUBLISH:-}" ]; then
    "$ZQ_PUBLISH" "$@"
  else
    "$WINE" "${ZQ_PUBLISH_BUILD:-$ZQ_BUILD}/publisher/zq_publish.exe" "$@" </dev/null | tr -d '\r'
    return "${PIPESTATUS[0]}"
  fi
}

# zq_small_releases BASE_URL: two small releases for a journey's update,
# release 1 in $r1 (a.dll) and release 2 in $r2 (a.dll changed, bin/b.txt
# added), and release 1 published for BASE_URL in $work/out1.
zq_small_releases() {
  r1=$work/release1
  r2=$work/release2
  mkdir -p "$r1" "$r2/bin"
  printf 'a, release 1' >"$r1/a.dll"
  printf 'a, release 2' >"$r2/a.dll"
  printf 'added by release 2' >"$r2/bin/b.txt"
  zq_publish_release --release-dir "$r1" --version 1 --date 20261201 --base-url "$1" --out "$work/out1" >/dev/null
}

# zq_free_port: a TCP port on 127.0.0.1 that nothing listens on now.
zq_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# zq_edited_copy SOURCE TARGET SEED: a copy with forty scattered 4-byte edits,
# as the next build of a program differs from the last.
zq_edited_copy() {
  python3 - "$@" <<'PY'
import random, sys
data = bytearray(open(sys.argv[1], 'rb').read())
rng = random.Random(int(sys.argv[3]))
for _ in range(40):
    at = rng.randrange(len(data) - 16)
    data[at:at + 4] = rng.randbytes(4)
open(sys.argv[2], 'wb').write(data)
PY
}

# check DESCRIPTION COMMAND...: runs a test's check, prints "ok:" or
# "FAILED:" and counts the failures in zq_failures.
zq_failures=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    zq_failures=$((zq_failures + 1))
  fi
}

# zq_report NAME: the test's last line, and its exit status.
zq_report() {
  echo
  if [ "$zq_failures" -eq 0 ]; then
    echo "$1: every check passed"
  else
    echo "$1: $zq_failures check(s) FAILED"
    return 1
  fi
}

# new_port: a free port not taken before in this run, appended to ports.
ports=()
new_port() {
  local port
  port=$(zq_free_port)
  while [[ " ${ports[*]} " == *" $port "* ]]; do port=$(zq_free_port); done
  ports+=("$port")
}

# zq_start_squid DIR LISTEN: Debian's squid as a school's proxy on LISTEN
# (127.0.0.1:PORT), private to DIR (its configuration, logs, access.log),
# allowing every request and CONNECT from loopback and caching nothing.
# zq_stop_squid ends it.
zq_squid_pid=""
zq_start_squid() {
  local squid=${SQUID:-/usr/sbin/squid} port=${2##*:}
  if [ ! -x "$squid" ]; then
    echo "squid is not installed (scripts/install-packages.sh installs it)" >&2
    return 1
  fi
  # squid gives up root for its own user, which must reach its files.
  mkdir -p "$1"
  chmod 711 "$(dirname "$1")"
  chown proxy:proxy "$1" 2>/dev/null || chmod 777 "$1"
  cat >"$1/squid.conf" <<CONF
http_port $2
pid_filename $1/squid.pid
access_log stdio:$1/access.log
cache_log $1/cache.log
cache_store_log none
cache deny all
coredump_dir $1
pinger_enable off
netdb_filename none
shutdown_lifetime 0 seconds
http_access allow localhost
http_access deny all
CONF
  "$squid" -N -f "$1/squid.conf" >"$1/console.log" 2>&1 &
  zq_squid_pid=$!
  if ! zq_wait 20 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null; then
    echo "squid did not start:" >&2
    cat "$1/console.log" "$1/cache.log" >&2 2>/dev/null || true
    return 1
  fi
}
zq_stop_squid() {
  [ -n "$zq_squid_pid" ] || return 0
  kill "$zq_squid_pid" 2>/dev/null || true
  wait "$zq_squid_pid" 2>/dev/null || true
  zq_squid_pid=""
}
