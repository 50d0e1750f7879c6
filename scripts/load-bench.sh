#!/usr/bin/env bash
# How many clients a private nginx answers, as the update server (the origin,
# deploy/nginx/zenquilo-updates.conf.in) and as a school's cache in front of
# it (deploy/nginx/school-cache.conf.in, warmed first): wrk asks each for the
# manifest and for a small static file (files/1/..., about 1 KiB) with 100
# and then 1,000 connections kept alive, every request shaped like the
# program's (its User-Agent, ?r= with a number that changes each time).
# Both servers are standalone.conf's single nginx worker process, on loopback,
# on the same machine as wrk, which runs one thread: on a 2-core machine the
# server and wrk then have a core each (two wrk threads and the worker on two
# cores put seconds into the 99th percentile at 1,000 connections that are
# wrk's own waiting for a core). Each cell is measured three times, the rounds
# interleaved, and the best round is printed, since other work on the machine
# only ever slows a round down: requests/s and the latency's 50th, 90th and
# 99th percentiles, then the ratios manifest/static and cache/origin against
# their goals. A benchmark: it prints, it asserts nothing.
#
#   scripts/load-bench.sh [SECONDS_PER_RUN]   (default 5; 24 runs in all)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-5}
rounds=3

log() { printf '[load-bench] %s\n' "$*" >&2; }

command -v wrk >/dev/null || bash scripts/install-packages.sh
. scripts/journey-lib.sh

# The release publisher, natively; built once if this tree has no native build.
publish=${ZQ_PUBLISH:-$root/build/native/publisher/zq_publish}
if [ ! -x "$publish" ]; then
  log "building the native zq_publish"
  cmake --preset native >/dev/null
  nice cmake --build --preset native --target zq_publish -j 2 >/dev/null
fi

work=$(mktemp -d /tmp/zq-load-bench.XXXXXX)
cleanup() {
  scripts/serve-release.sh stop "$work/cache" || true
  scripts/serve-release.sh stop "$work/origin" || true
  rm -rf "$work"
}
trap cleanup EXIT

# A release of a few dozen files, as a small client update looks: the
# manifest is a real one, of 40 entries.
mkdir -p "$work/release/bin" "$work/release/lessons"
for i in $(seq 1 12); do head -c $((20000 + i * 997)) /dev/urandom >"$work/release/bin/module$i.dll"; done
for i in $(seq 1 28); do
  head -c 1024 /dev/urandom | base64 -w 76 | head -c 1024 >"$work/release/lessons/lesson$i.txt"
done
origin_port=$(zq_free_port)
cache_port=$(zq_free_port)
# Two ports asked for one after the other may come out the same.
while [ "$cache_port" = "$origin_port" ]; do cache_port=$(zq_free_port); done
"$publish" --release-dir "$work/release" --version 1 --date 20261208 \
  --base-url "http://127.0.0.1:$cache_port" --out "$work/published" >/dev/null
static=/files/1/lessons/lesson1.txt
log "manifest $(stat -c %s "$work/published/package.json") bytes, static file $(stat -c %s "$work/published$static") bytes"

scripts/serve-release.sh start "$work/published" "127.0.0.1:$origin_port" "$work/origin"
scripts/serve-release.sh start-cache "http://127.0.0.1:$origin_port" "127.0.0.1:$cache_port" "$work/cache"
for path in /soft/package.json "$static"; do
  curl -sS -o /dev/null -A 'KVT Updater/1.0' "http://127.0.0.1:$cache_port$path?r=1"
done

# The program's requests: its User-Agent, and ?r= with its tick count, a
# signed 32-bit number, different for every request. The static file is
# asked for through the same script, so both documents cost wrk the same.
cat >"$work/client.lua" <<'LUA'
local threads = 0
function setup(thread)
  thread:set("id", threads)
  threads = threads + 1
end
function init(args)
  path = args[1]
  ticks = (id or 0) * 100000007
  wrk.headers["User-Agent"] = "KVT Updater/1.0"
end
function request()
  ticks = (ticks + 15) % 4294967296
  return wrk.format("GET", path .. "?r=" .. (ticks - 2147483648))
end
function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("ZQ %d %d %d %d %d %d\n", summary.requests, summary.duration,
    latency:percentile(50), latency:percentile(90), latency:percentile(99),
    e.connect + e.read + e.write + e.timeout + e.status))
end
LUA

# 1,000 connections need as many descriptors in wrk.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || ulimit -n 4096 2>/dev/null || true

declare -A best
# measure SERVER DOCUMENT CONNECTIONS: one wrk run, kept when its rate beats
# the rounds before.
measure() {
  local port path line
  if [ "$1" = origin ]; then port=$origin_port; else port=$cache_port; fi
  if [ "$2" = manifest ]; then path=/soft/package.json; else path=$static; fi
  line=$(wrk -t 1 -c "$3" -d "${seconds}s" --timeout 5s -s "$work/client.lua" \
    "http://127.0.0.1:$port" -- "$path" | grep '^ZQ ')
  # requests duration(us) p50 p90 p99 (us) errors -> rate p50 p90 p99 (ms) errors
  line=$(echo "$line" | awk '{printf "%.0f %.2f %.2f %.2f %d", $2 / ($3 / 1e6), $4 / 1e3, $5 / 1e3, $6 / 1e3, $7}')
  local key="$1 $2 $3"
  if [ -z "${best[$key]:-}" ] || [ "${line%% *}" -gt "${best[$key]%% *}" ]; then best[$key]=$line; fi
  log "round $round: $key: $line"
}

for round in $(seq 1 "$rounds"); do
  for connections in 100 1000; do
    for server in origin cache; do
      for document in manifest static; do
        measure "$server" "$document" "$connections"
      done
    done
  done
done

rate() { echo "${best[$1]%% *}"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
verdict() { awk -v r="$1" 'BEGIN {print (r >= 0.9) ? "met" : "NOT met"}'; }

echo
echo "nginx $(nginx -v 2>&1 | sed 's|.*/||'), one worker each, wrk -t 1, $seconds s a run, best of $rounds rounds"
printf '%-7s %-9s %6s %10s %9s %9s %9s %7s\n' server document conns 'req/s' 'p50 ms' 'p90 ms' 'p99 ms' errors
for connections in 100 1000; do
  for server in origin cache; do
    for document in manifest static; do
      read -r r p50 p90 p99 errors <<<"${best[$server $document $connections]}"
      printf '%-7s %-9s %6s %10s %9s %9s %9s %7s\n' "$server" "$document" "$connections" "$r" "$p50" "$p90" "$p99" "$errors"
    done
  done
done
echo
for connections in 100 1000; do
  for server in origin cache; do
    x=$(ratio "$(rate "$server manifest $connections")" "$(rate "$server static $connections")")
    echo "manifest/static, $server, $connections connections: $x (goal at least 0.9: $(verdict "$x"))"
  done
  for document in manifest static; do
    x=$(ratio "$(rate "cache $document $connections")" "$(rate "origin $document $connections")")
    echo "cache/origin, $document, $connections connections: $x (goal at least 0.9: $(verdict "$x"))"
  done
done
