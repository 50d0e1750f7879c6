#!/usr/bin/env bash
# Serves a release published by zq_publish with nginx, using the update
# server's configuration deploy/nginx/zenquilo-updates.conf.in as it stands.
#
#   serve-release.sh render ROOT LISTEN            print the server block for /etc/nginx
#   serve-release.sh start ROOT 127.0.0.1:PORT RUN  run a private nginx (state in RUN)
#   serve-release.sh stop RUN                        stop it
#
# start puts ZQ_NGINX_EXTRA, when set, into the private nginx's http block
# (tests slow it down with "limit_rate 4m;", say).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
template=$here/deploy/nginx/zenquilo-updates.conf.in
standalone=$here/deploy/nginx/standalone.conf.in
nginx=${NGINX:-/usr/sbin/nginx}

render() {  # ROOT LISTEN
  sed -e "s|@ROOT@|$1|g" -e "s|@LISTEN@|$2|g" "$template"
}

case "${1:-}" in
  render)
    [ $# -eq 3 ] || { echo "usage: $0 render ROOT LISTEN" >&2; exit 2; }
    render "$2" "$3"
    ;;
  start)
    [ $# -eq 4 ] || { echo "usage: $0 start ROOT LISTEN RUN" >&2; exit 2; }
    root=$(cd "$2" && pwd)
    run=$4
    mkdir -p "$run"
    run=$(cd "$run" && pwd)
    render "$root" "$3" >"$run/zenquilo-updates.conf"
    {
      # As root, the workers would otherwise drop to an account that cannot
      # read a release below a private home directory.
      if [ "$(id -u)" -eq 0 ]; then echo "user root;"; fi
      sed -e "s|@RUN@|$run|g" -e "s|@EXTRA@|${ZQ_NGINX_EXTRA:-}|g" "$standalone"
    } >"$run/nginx.conf"
    "$nginx" -t -q -p "$run" -c "$run/nginx.conf"
    "$nginx" -p "$run" -c "$run/nginx.conf"
    for _ in $(seq 1 100); do
      [ -s "$run/nginx.pid" ] && exit 0
      sleep 0.05
    done
    echo "nginx did not start; see $run/error.log" >&2
    exit 1
    ;;
  stop)
    [ $# -eq 2 ] || { echo "usage: $0 stop RUN" >&2; exit 2; }
    if [ -s "$2/nginx.pid" ]; then
      kill "$(cat "$2/nginx.pid")" 2>/dev/null || true
      for _ in $(seq 1 100); do
        [ -e "$2/nginx.pid" ] || break
        sleep 0.05
      done
    fi
    ;;
  *)
    echo "usage: $0 render ROOT LISTEN | start ROOT LISTEN RUN | stop RUN" >&2
    exit 2
    ;;
esac
