#!/usr/bin/env bash
# What a school's network costs the update: network_bench.exe of each preset
# named fetches the large release from nginx over http and over https, each
# directly and through squid (both private, on loopback, started and stopped
# here). The https server's certificate comes from a CA made here, trusted
# by the Wine prefix's machine Root store for the run's length, so the
# client's certificate check runs as on a school's PC.
# Usage (inside the Wine environment; scripts/bench.sh runs it):
#   network-bench.sh PRESET...     e.g. network-bench.sh windows windows-x86
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh
. scripts/journey-lib.sh
[ $# -gt 0 ] || { echo "usage: network-bench.sh PRESET..." >&2; exit 2; }

net=$(mktemp -d /tmp/zq-network-bench.XXXXXX)
root_store="$PWD/build/$1/tests/test_root_store.exe"
ca_der="Z:${net//\//\\}\\ca.der"
end() {
  scripts/serve-release.sh stop "$net/nginx-http" || true
  scripts/serve-release.sh stop "$net/nginx-https" || true
  zq_stop_squid
  "$WINE" "$root_store" remove "$ca_der" >/dev/null 2>&1 || true
  rm -rf "$net"
}
trap end EXIT
mkdir -p "$net/served"
chmod 755 "$net"

# A CA, and a certificate for localhost and 127.0.0.1 from it.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$net/ca.key" -out "$net/ca.pem" -days 2 \
  -subj "/CN=ZenquiloStudent benchmark CA" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$net/server.key" -out "$net/server.csr" -subj /CN=localhost \
  2>/dev/null
printf 'subjectAltName = DNS:localhost, IP:127.0.0.1\nextendedKeyUsage = serverAuth\n' >"$net/server.ext"
openssl x509 -req -in "$net/server.csr" -CA "$net/ca.pem" -CAkey "$net/ca.key" -CAcreateserial -days 2 \
  -extfile "$net/server.ext" -out "$net/server.pem" 2>/dev/null
openssl x509 -in "$net/ca.pem" -outform DER -out "$net/ca.der"
"$WINE" "$root_store" add "$ca_der" >/dev/null

new_port; http_port=${ports[-1]}
new_port; https_port=${ports[-1]}
new_port; squid_port=${ports[-1]}
scripts/serve-release.sh start "$net/served" "127.0.0.1:$http_port" "$net/nginx-http" >/dev/null
scripts/serve-release.sh start "$net/served" "127.0.0.1:$https_port" "$net/nginx-https" \
  "$net/server.pem" "$net/server.key" >/dev/null
zq_start_squid "$net/squid" "127.0.0.1:$squid_port"
for preset in "$@"; do
  echo
  echo "== the large release over http and https, directly and through squid, $preset"
  scripts/wine-run.sh "build/$preset/bench/network_bench.exe" "Z:${net//\//\\}\\served" \
    "http://127.0.0.1:$http_port" "127.0.0.1:$squid_port" "https://localhost:$https_port" | sed 's/^/   /'
done
