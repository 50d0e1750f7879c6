#!/usr/bin/env bash
# A school's cache (deploy/nginx/school-cache.conf.in) in front of the update
# server, both nginx on loopback:
#   1. 50 clients at once ask a fresh cache for the manifest, each with its
#      own ?r= and one of four installed versions in &v=, then 50 for a 10 MiB file: every one gets the exact bytes,
#      while the origin sends the manifest about once and each 1 MiB slice of
#      the file once; once expired, the manifest is refreshed by one
#      conditional request.
#   2. a resumed download's range is served from the cache alone, and a range
#      past the file's end reaches the origin once for many requests.
#   3. the real client under Wine, pointed at the cache, installs release 2
#      through it.
#   4. a manifest changed at the origin reaches clients within the cache's
#      manifest time, and stays.
#   5. an origin (or someone on the plain-HTTP link to it) whose answers ask
#      to be kept an hour, per User-Agent, or set a cookie, pins nothing.
# Usage: school_cache_test.sh WINDOWS_BUILD_DIR (inside the Wine test environment).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"

zq_journey_begin school-cache
origin_run=$work/origin
cache_run=$work/cache

# Ports asked for one after the other may come out the same.
new_port; origin_port=${ports[-1]}
new_port; cache_port=${ports[-1]}
new_port; hostile_port=${ports[-1]}
new_port; hostile_cache_port=${ports[-1]}
cache=http://127.0.0.1:$cache_port
manifest_seconds=5

# origin_since LINES: the origin's log lines after its first LINES.
origin_since() { tail -n +"$(($1 + 1))" "$origin_run/access.log"; }
# fetch_all NAME URL_PATH COUNT: COUNT clients at once, shaped like the
# program's requests, each with its own ?r= (and for the manifest, its
# installed version in &v=, four different ones); bodies in $work/NAME/<i>.
fetch_all() {
  local i query
  mkdir -p "$work/$1"
  for i in $(seq 1 "$3"); do
    query="?r=$((RANDOM * 65536 + i))"
    [[ $2 == */package.json ]] && query+="&v=$((i % 4 + 9))"
    printf 'url = "%s%s%s"\noutput = "%s/%s/%d"\n' "$cache" "$2" "$query" "$work" "$1" "$i"
  done >"$work/$1.curl"
  curl -sS --no-progress-meter --parallel --parallel-immediate --parallel-max "$3" -A 'KVT Updater/1.0' -K "$work/$1.curl"
}
# all_equal NAME FILE: every body of fetch_all NAME is FILE's bytes.
all_equal() {
  local body
  for body in "$work/$1"/*; do cmp -s "$body" "$2" || { echo "differs: $body" >&2; return 1; }; done
}

# Release 1 installed; release 2 changes a small file and brings a 10 MiB
# one. Random bytes, so no compressed copy or delta is smaller: the clients
# take the file itself. The manifest names the cache, as it does for a
# school's PCs whose DNS answers the update server's name with the cache.
r1=$work/release1
r2=$work/release2
mkdir -p "$r1" "$r2"
printf 'a, release 1' >"$r1/a.txt"
printf 'a, release 2' >"$r2/a.txt"
head -c $((10 * 1024 * 1024)) /dev/urandom >"$r2/big.bin"
zq_publish_release --release-dir "$r1" --version 1 --date 20261201 --base-url "$cache" --out "$work/out1" >/dev/null
zq_publish_release --release-dir "$r2" --version 2 --date 20261207 --base-url "$cache" --out "$work/out2" \
  --previous "$work/out1/package.json" >/dev/null
big=$(grep -o '"remote_url": "[^"]*/big.bin"' "$work/out2/package.json" | sed -e 's/.*"\(http[^"]*\)"/\1/' -e "s|^$cache||")

# The origin slowed down, so the 50 clients' requests for the file arrive
# while its first slices are still on their way.
ZQ_NGINX_EXTRA='limit_rate 2m;' "$here/scripts/serve-release.sh" start "$work/out2" "127.0.0.1:$origin_port" "$origin_run"
"$here/scripts/serve-release.sh" start-cache "http://127.0.0.1:$origin_port" "127.0.0.1:$cache_port" "$cache_run" \
  "$manifest_seconds"

# --- 1. Fifty clients at once --------------------------------------------------
fetch_all manifest /soft/package.json 50
check "50 clients at once each get the manifest" all_equal manifest "$work/out2/package.json"
fetches=$(grep -c '"GET /soft/package.json?' "$origin_run/access.log" || true)
check "the origin is asked for the manifest $fetches time(s), at most 3, whatever ?r= and &v= say" test "$fetches" -le 3
check "the cache passes no-cache on to clients" \
  bash -c "curl -sS -o /dev/null -D - '$cache/soft/package.json?r=1' | grep -qi '^Cache-Control: no-cache'"

fetch_all big "$big" 50
check "50 clients at once each get the 10 MiB file" all_equal big "$r2/big.bin"
expected=$(for i in $(seq 0 9); do echo "bytes=$((i * 1048576))-$(((i + 1) * 1048576 - 1))"; done)
slices=$(grep "\"GET $big" "$origin_run/access.log" | sed 's/.*"\(bytes=[0-9-]*\)".*/\1/' | sort -t= -k2 -n)
check "the origin sends each 1 MiB slice of the file once: its bytes cross once for 50 clients" \
  test "$slices" = "$expected"

# Expired: the next client's request refreshes the copy with a conditional
# request, and the clients after it are served the refreshed copy.
sleep $((manifest_seconds + 1))
lines=$(wc -l <"$origin_run/access.log")
fetch_all again /soft/package.json 1
fetch_all again-after /soft/package.json 1
fetch_all again-later /soft/package.json 1
check "after $manifest_seconds s the manifest is refreshed by one request, answered 304" \
  test "$(origin_since "$lines" | awk '{print $9}' | tr '\n' ' ')" = "304 "

# --- 2. A resumed download ------------------------------------------------------
lines=$(wc -l <"$origin_run/access.log")
status=$(curl -sS -A 'KVT Updater/1.0' -r 3000000- -o "$work/rest" -w '%{http_code}' "$cache$big")
check "a range from the middle of a slice is answered 206 with the file's bytes from there on" \
  bash -c "test '$status' = 206 && tail -c +3000001 '$r2/big.bin' | cmp -s - '$work/rest'"
check "the range asks nothing of the origin" test -z "$(origin_since "$lines")"

# Past the end: the origin's 416 answers the slice the range falls in, and is
# kept as briefly as a 404, so a client that keeps asking does not reach it.
lines=$(wc -l <"$origin_run/access.log")
size=$(stat -c %s "$r2/big.bin")
statuses=$(for start in $size $((size + 1)) $((size + 4096)) $size $((size + 1)); do
  curl -sS -A 'KVT Updater/1.0' -r "$start-" -o /dev/null -w '%{http_code} ' "$cache$big"
done)
asked=$(origin_since "$lines" | wc -l)
check "a range past the end is answered 416 five times, the origin asked $asked time(s)" \
  test "$statuses" = "416 416 416 416 416 " -a "$asked" -le 1

# --- 3. The real client, through the cache -------------------------------------
install=$work/install
zq_install_release "$install" "$ZQ_BUILD" "$r1" "$work/out1" "$cache/soft/package.json"
pid=$(zq_run "$install")
pids+=("$pid")
check "run one stages release 2, fetched through the cache" zq_wait 90 test -f "$install/temp/package.json"
zq_end_program "$pid"
pid=$(zq_run "$install")
pids+=("$pid")
check "run two installs it" zq_wait 60 zq_started "$install" zenquilo.exe 2
for f in a.txt big.bin; do
  check "installed: $f" cmp -s "$install/$f" "$r2/$f"
done
zq_end_program "$pid"

# --- 4. A changed manifest ------------------------------------------------------
# What halting a rollout relies on: new bytes at the origin reach every client
# within the cache's manifest time.
printf '{"version": "2", "changed": true}' >"$work/changed.json"
cp "$work/changed.json" "$work/out2/package.json"
sleep $((manifest_seconds + 1))
fetch_all changed /soft/package.json 1
check "$manifest_seconds s after the origin's manifest changes, clients get the new one" all_equal changed "$work/changed.json"
# All at once, after the refresh: from the copy kept, not the one replaced.
fetch_all changed-after /soft/package.json 20
check "and keep getting it from the cache" all_equal changed-after "$work/changed.json"

# --- 5. A hostile origin --------------------------------------------------------
# Its own nginx, with a cache of its own in front: the manifest asks to be
# kept an hour (X-Accel-Expires, Expires, Cache-Control) and apart for each
# User-Agent; the signature sets a cookie; every answer for a file, errors
# too, asks for an hour. Each on its own URL, as a Set-Cookie alone would
# already stop the caching.
hostile_root=$work/hostile-root
hostile_run=$work/hostile
mkdir -p "$hostile_root/files" "$hostile_run"
printf '{"version": "1"}' >"$hostile_root/package.json"
printf 'signature' >"$hostile_root/package.json.sig"
printf 'file bytes' >"$hostile_root/files/a.bin"
cat >"$hostile_run/hostile.conf" <<CONF
server {
    listen 127.0.0.1:$hostile_port;
    root $hostile_root;
    types { }
    default_type application/octet-stream;
    location = /soft/package.json {
        try_files /package.json =404;
        expires 1h;
        add_header X-Accel-Expires 3600;
        add_header Vary User-Agent;
    }
    location = /soft/package.json.sig {
        try_files /package.json.sig =404;
        add_header Set-Cookie "zq_session=forged; Path=/";
    }
    location /files/ {
        add_header X-Accel-Expires 3600 always;
        if (-f $hostile_root/broken) { return 500; }
    }
}
CONF
{
  if [ "$(id -u)" -eq 0 ]; then echo "user root;"; fi
  sed -e "s|@RUN@|$hostile_run|g" -e "s|@SERVER@|hostile.conf|g" -e "s|@EXTRA@||g" \
    "$here/deploy/nginx/standalone.conf.in"
} >"$hostile_run/nginx.conf"
"${NGINX:-/usr/sbin/nginx}" -p "$hostile_run" -c "$hostile_run/nginx.conf"
zq_wait 5 test -s "$hostile_run/nginx.pid"
"$here/scripts/serve-release.sh" start-cache "http://127.0.0.1:$hostile_port" "127.0.0.1:$hostile_cache_port" \
  "$work/hostile-cache" "$manifest_seconds"

# via PATH [CURL ARGS...]: PATH through the hostile origin's cache.
via() {
  local path=$1
  shift
  curl -sS -m 10 -A 'KVT Updater/1.0' "$@" "http://127.0.0.1:$hostile_cache_port$path" || true
}
# asked PATH: how often the hostile origin was asked for PATH.
asked() { grep -cE "\"GET $1(\\?| )" "$hostile_run/access.log" || true; }
# no_cookie HEADERS...: none of the header dumps passes on a Set-Cookie or an X-Accel-*.
no_cookie() { ! grep -qiE '^(set-cookie|x-accel)' "$@"; }

first=$(via '/soft/package.json?r=1' -A 'PC a')
second=$(via '/soft/package.json?r=2' -A 'PC b')
check "clients with other User-Agents get the one copy of the manifest, fetched once" \
  test "$first|$second|$(asked /soft/package.json)" = '{"version": "1"}|{"version": "1"}|1'
via '/soft/package.json.sig?r=1' -D "$work/sig1.headers" -o /dev/null
via '/soft/package.json.sig?r=2' -D "$work/sig2.headers" -o /dev/null
check "a Set-Cookie from the origin reaches no client" no_cookie "$work/sig1.headers" "$work/sig2.headers"
check "and the signature that carried it is still kept" test "$(asked /soft/package.json.sig)" = 1

# A file not published yet, and one the origin fails on for a while.
late=$(via /files/late.bin -o /dev/null -w '%{http_code}')
touch "$hostile_root/broken"
broken=$(via /files/a.bin -o /dev/null -w '%{http_code}')
rm "$hostile_root/broken"
via /files/a.bin -o "$work/a.bin"
check "a file answered 500 is fetched anew as soon as the origin is fixed" \
  bash -c "test '$broken' = 500 && cmp -s '$work/a.bin' '$hostile_root/files/a.bin'"

# Another length, so that the origin's ETag changes even within the second.
printf '{"version": "2", "halted": true}' >"$hostile_root/package.json"
printf 'published late' >"$hostile_root/files/late.bin"
sleep $((manifest_seconds + 1))
check "$manifest_seconds s after the hostile origin's manifest changes, clients get the new one" \
  test "$(via '/soft/package.json?r=3' -A 'PC a')" = '{"version": "2", "halted": true}'
check "a file answered 404 is served $manifest_seconds s after it is published" \
  test "$late|$(via /files/late.bin)" = '404|published late'

zq_report "school cache"
