#!/usr/bin/env bash
# Serves a release published by zq_publish with nginx, using the update
# server's configuration deploy/nginx/zenquilo-updates.conf.in as it stands,
# or runs a school's or an edge site's cache in front of such a server with
# deploy/nginx/school-cache.conf.in.
#
#   serve-release.sh render ROOT LISTEN             print the server block for /etc/nginx
#   serve-release.sh start ROOT 127.0.0.1:PORT RUN [CERT KEY]
#                                                    run a private nginx (state in RUN);
#                                                    with CERT and KEY (PEM), over https
#   serve-release.sh render-cache UPSTREAM LISTEN CACHE_DIR [MANIFEST_SECONDS [MAX_SIZE]]
#                                                    print the cache's blocks for /etc/nginx
#   serve-release.sh start-cache UPSTREAM 127.0.0.1:PORT RUN [MANIFEST_SECONDS]
#                                                    run a private cache (state and cache in RUN)
#   serve-release.sh stop RUN                         stop either
#
# UPSTREAM is the origin's URL without a path: http://updates.example.org or
# http://127.0.0.1:8080. MANIFEST_SECONDS (default 5) is how long the cache
# keeps the manifest; MAX_SIZE (default 10g) bounds the cache on disk.
# start and start-cache put ZQ_NGINX_EXTRA, when set, into the private nginx's
# http block (tests slow it down with "limit_rate 4m;", say).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
template=$here/deploy/nginx/zenquilo-updates.conf.in
cache_template=$here/deploy/nginx/school-cache.conf.in
standalone=$here/deploy/nginx/standalone.conf.in
nginx=${NGINX:-/usr/sbin/nginx}

usage() {
  echo "usage:" >&2
  sed -n '/^#   serve-release.sh/,/^#$/p' "$0" | sed -e 's/^#//' -e '/^$/d' >&2
  exit 2
}

render() {  # ROOT LISTEN
  sed -e "s|@ROOT@|$1|g" -e "s|@LISTEN@|$2|g" "$template"
}

# render_https ROOT LISTEN CERT KEY: the same server, listening for TLS with
# that certificate (the chain's intermediates, if any, after it in CERT).
render_https() {
  render "$1" "$2 ssl" |
    sed -e "/^    listen /a\    ssl_certificate $3;\n    ssl_certificate_key $4;"
}

# upstream_host URL: the host[:port] of an origin URL, or nothing for a URL
# the cache cannot use (another scheme, a path, characters no host has).
upstream_host() {
  [[ $1 =~ ^http://([A-Za-z0-9.-]+(:[0-9]+)?|\[[0-9A-Fa-f:.]+\](:[0-9]+)?)/?$ ]] && echo "${BASH_REMATCH[1]}"
}

render_cache() {  # UPSTREAM LISTEN CACHE_DIR MANIFEST_SECONDS MAX_SIZE ACCESS_LOG
  local host
  host=$(upstream_host "$1") || {
    echo "the origin must be given as http://HOST[:PORT] (no path, no other scheme): '$1'" >&2
    exit 2
  }
  [[ $4 =~ ^[1-9][0-9]*$ ]] || { echo "MANIFEST_SECONDS must be a whole number of seconds, at least 1: '$4'" >&2; exit 2; }
  [[ $5 =~ ^[1-9][0-9]*[kKmMgG]?$ ]] || { echo "MAX_SIZE must be a size such as 10g: '$5'" >&2; exit 2; }
  sed -e "s|@UPSTREAM_HOST@|$host|g" -e "s|@LISTEN@|$2|g" -e "s|@CACHE_DIR@|$3|g" \
      -e "s|@MANIFEST_SECONDS@|$4|g" -e "s|@CACHE_SIZE@|$5|g" -e "s|@ACCESS_LOG@|$6|g" "$cache_template"
}

# run_private RUN SERVER_FILE: a private nginx around RUN/SERVER_FILE.
run_private() {
  local run=$1
  {
    # As root, the workers would otherwise drop to an account that cannot
    # read a release below a private home directory.
    if [ "$(id -u)" -eq 0 ]; then echo "user root;"; fi
    sed -e "s|@RUN@|$run|g" -e "s|@SERVER@|$2|g" -e "s|@EXTRA@|${ZQ_NGINX_EXTRA:-}|g" "$standalone"
  } >"$run/nginx.conf"
  "$nginx" -t -q -p "$run" -c "$run/nginx.conf"
  "$nginx" -p "$run" -c "$run/nginx.conf"
  for _ in $(seq 1 100); do
    [ -s "$run/nginx.pid" ] && return 0
    sleep 0.05
  done
  echo "nginx did not start; see $run/error.log" >&2
  exit 1
}

# make_run RUN: RUN made if need be, as an absolute path.
make_run() {
  mkdir -p "$1"
  (cd "$1" && pwd)
}

case "${1:-}" in
  render)
    [ $# -eq 3 ] || usage
    render "$2" "$3"
    ;;
  start)
    [ $# -eq 4 ] || [ $# -eq 6 ] || usage
    root=$(cd "$2" && pwd)
    run=$(make_run "$4")
    if [ $# -eq 6 ]; then
      render_https "$root" "$3" "$(realpath "$5")" "$(realpath "$6")" >"$run/zenquilo-updates.conf"
    else
      render "$root" "$3" >"$run/zenquilo-updates.conf"
    fi
    run_private "$run" zenquilo-updates.conf
    ;;
  render-cache)
    [ $# -ge 4 ] && [ $# -le 6 ] || usage
    render_cache "$2" "$3" "$4" "${5:-5}" "${6:-10g}" /var/log/nginx/zenquilo-cache.access.log
    ;;
  start-cache)
    [ $# -eq 4 ] || [ $# -eq 5 ] || usage
    run=$(make_run "$4")
    render_cache "$2" "$3" "$run/cache" "${5:-5}" 1g "$run/access.log" >"$run/school-cache.conf"
    run_private "$run" school-cache.conf
    ;;
  stop)
    [ $# -eq 2 ] || usage
    if [ -s "$2/nginx.pid" ]; then
      kill "$(cat "$2/nginx.pid")" 2>/dev/null || true
      for _ in $(seq 1 100); do
        [ -e "$2/nginx.pid" ] || break
        sleep 0.05
      done
    fi
    ;;
  *)
    usage
    ;;
esac
