#!/usr/bin/env bash
# The real client under Wine against nginx over https, with a test CA that
# the Wine prefix's machine trusts for the journey's length (as a school
# trusts its own CA). A server whose certificate is good is updated from,
# directly and through squid's CONNECT tunnel; one whose certificate is
# expired, for another name, from a CA nobody trusts, or revoked is refused
# before a request reaches it, so nothing is staged. Wine's Schannel accepts
# every certificate, so these rows prove the client's own check.
# Usage: https_journey_test.sh WINDOWS_BUILD_DIR (inside the Wine test environment).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"

zq_journey_begin https-journey
root_added=""
ca_der=""
end_journey() {
  zq_stop_squid
  if [ -n "$root_added" ]; then
    "$WINE" "$ZQ_BUILD/tests/test_root_store.exe" remove "$ca_der" >/dev/null 2>&1 ||
      echo "the test CA could not be taken out of the prefix's Root store" >&2
  fi
  forget_revocations
  zq_journey_end
}
trap end_journey EXIT

# Wine keeps revocation answers on disk under names that a later run's
# certificates share (a revoked one was seen passing as "not revoked"): each
# run starts without them and leaves none.
forget_revocations() { rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/LocalLow/Microsoft/CryptnetUrlCache/Content; }
forget_revocations

new_port; crl_port=${ports[-1]}
new_port; dead_port=${ports[-1]}
new_port; squid_port=${ports[-1]}

# --- The certificates --------------------------------------------------------------------------
# A CA the prefix will trust, one it never hears of, and openssl ca's
# bookkeeping, so that a certificate can be given past dates and revoked.
pki=$work/pki
mkdir -p "$pki/trusted/issued" "$pki/unknown/issued"
make_ca() {  # DIR NAME
  touch "$1/index.txt"
  echo 1000 >"$1/serial"
  cat >"$1/ca.cnf" <<CNF
[ca]
default_ca = test_ca
[test_ca]
dir = $1
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir/issued
certificate = \$dir/ca.pem
private_key = \$dir/ca.key
default_md = sha256
default_days = 30
default_crl_days = 30
policy = anything
unique_subject = no
copy_extensions = none
[anything]
commonName = supplied
CNF
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1/ca.key" -out "$1/ca.pem" -days 30 -subj "/CN=$2" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
make_ca "$pki/trusted" "ZenquiloStudent test CA"
make_ca "$pki/unknown" "A CA nobody trusts"
openssl x509 -in "$pki/trusted/ca.pem" -outform DER -out "$pki/ca.der"
ca_der="Z:${pki//\//\\}\\ca.der"

# issue NAME CA_DIR SAN [CDP_URL [START END]]: NAME.pem and NAME.key for a server.
issue() {
  local name=$1 ca=$2 dates=()
  {
    echo "subjectAltName = $3"
    echo "basicConstraints = CA:FALSE"
    echo "keyUsage = critical, digitalSignature, keyEncipherment"
    echo "extendedKeyUsage = serverAuth"
    [ -n "${4:-}" ] && echo "crlDistributionPoints = URI:$4"
  } >"$pki/$name.ext"
  [ -n "${5:-}" ] && dates=(-startdate "$5" -enddate "$6")
  openssl req -new -newkey rsa:2048 -nodes -keyout "$pki/$name.key" -out "$pki/$name.csr" -subj "/CN=$name" 2>/dev/null
  openssl ca -batch -config "$ca/ca.cnf" -in "$pki/$name.csr" -out "$pki/$name.pem" -notext \
    -extfile "$pki/$name.ext" "${dates[@]}" 2>/dev/null
}
here_names="DNS:localhost, IP:127.0.0.1"
crl_url=http://127.0.0.1:$crl_port/files/ca.crl
issue good "$pki/trusted" "$here_names"
issue expired "$pki/trusted" "$here_names" "" 20200101000000Z 20200201000000Z
issue wrong_name "$pki/trusted" "DNS:updates.example.org, IP:10.9.9.9"
issue unknown_ca "$pki/unknown" "$here_names"
issue revoked "$pki/trusted" "$here_names" "$crl_url"
issue crl_unreachable "$pki/trusted" "$here_names" "http://127.0.0.1:$dead_port/ca.crl"
openssl ca -batch -config "$pki/trusted/ca.cnf" -revoke "$pki/revoked.pem" 2>/dev/null
openssl ca -batch -config "$pki/trusted/ca.cnf" -gencrl -out "$pki/ca.crl.pem" 2>/dev/null

# --- The releases and their servers -------------------------------------------------------------
# Release 1 installed, release 2 served by each https server under its own
# URL, so every request of an update goes to the server the row names.
zq_small_releases "https://localhost"
# serve NAME CERT [FILES_AT]: release 2 over https with CERT's certificate, its
# files named at FILES_AT's server (its own by default); sets port.
declare -A port_of
serve() {
  new_port
  port_of[$1]=${ports[-1]}
  local files_at=${3:-$1}
  [ -n "${port_of[$files_at]:-}" ] || { new_port; port_of[$files_at]=${ports[-1]}; }
  zq_publish_release --release-dir "$r2" --version 2 --date 20261202 --base-url "https://localhost:${port_of[$files_at]}" \
    --out "$work/out-$1" --previous "$work/out1/package.json" >/dev/null
  "$here/scripts/serve-release.sh" start "$work/out-$1" "127.0.0.1:${port_of[$1]}" "$work/nginx-$1" \
    "$pki/$2.pem" "$pki/$2.key"
}
# The file server first: its port is named in the other's manifest.
serve files_refused expired
serve manifest_good good files_refused
for name in good expired wrong_name unknown_ca revoked crl_unreachable; do serve "$name" "$name"; done
# The CA's CRL, where the revoked certificate says it is.
mkdir -p "$work/crl/files"
openssl crl -in "$pki/ca.crl.pem" -outform DER -out "$work/crl/files/ca.crl"
"$here/scripts/serve-release.sh" start "$work/crl" "127.0.0.1:$crl_port" "$work/nginx-crl"

zq_start_squid "$work/squid" "127.0.0.1:$squid_port"

"$WINE" "$ZQ_BUILD/tests/test_root_store.exe" add "$ca_der"
root_added=1

# --- One start per row ---------------------------------------------------------------------------
# update_from SERVER [PROXY [SECONDS]]: a fresh install of release 1 pointed
# at SERVER's manifest, by the name localhost or by ZQ_HOST, starts once,
# through PROXY when given; prints "staged" when release 2 was staged, "none"
# when it was not within SECONDS (15 by default) of the learning shell's
# start, which follows the check.
update_from() {
  local host=${ZQ_HOST:-localhost}
  local install=$work/install-$1-$host${2:+-proxied} pid began=$SECONDS outcome=none
  zq_install_release "$install" "$ZQ_BUILD" "$r1" "$work/out1" "https://$host:${port_of[$1]}/soft/package.json"
  [ -n "${2:-}" ] && printf 'PROXY=%s\r\n' "$2" >>"$install/zenquilostudent.ini"
  pid=$(zq_run "$install")
  pids+=("$pid")
  if zq_wait 30 zq_started "$install" zenquilo.exe 1 && zq_wait "${3:-15}" test -f "$install/temp/package.json"; then
    outcome=staged
  fi
  zq_end_program "$pid"
  echo "  ($1 as $host${2:+ through $2}: $((SECONDS - began)) s)" >&2
  echo "$outcome"
}
# requests_at NAME: the requests NAME's nginx answered, one line each.
requests_at() { cat "$work/nginx-$1/access.log" 2>/dev/null || true; }
paths_at() { requests_at "$1" | awk '{print $7}' | sed 's/?.*//' | sort | tr '\n' ' '; }
# Everything in temp\ but the event log.
staged_files() { (cd "$1/temp" 2>/dev/null && find . -type f ! -name 'zenquilostudent.log*' | sort | tr '\n' ' '); }

outcome=$(update_from good)
check "good certificate: release 2 is staged (got $outcome)" test "$outcome" = staged
check "good certificate: the manifest and both files came over https (came: $(paths_at good))" \
  test "$(paths_at good)" = "/files/1/bin/b.txt /files/2/a.dll /soft/package.json "

# Wine's own name check knows DNS names only: the address must be matched
# against the certificate's IP entries by the client.
outcome=$(ZQ_HOST=127.0.0.1 update_from good)
check "good certificate, server named by its address: release 2 is staged (got $outcome)" test "$outcome" = staged

outcome=$(update_from good "127.0.0.1:$squid_port")
check "good certificate through squid: release 2 is staged (got $outcome)" test "$outcome" = staged
tunnels=$(grep -c "CONNECT localhost:${port_of[good]}" "$work/squid/access.log" || true)
check "through squid: the requests went by CONNECT tunnels ($tunnels seen)" test "$tunnels" -ge 1
# A line's sixth field is the method; "-" marks the start-up probe's connection.
in_clear=$(awk '$6 != "CONNECT" && $6 != "-" {print $6, $7}' "$work/squid/access.log")
check "through squid: squid saw no request in the clear (saw: ${in_clear:-none})" test -z "$in_clear"

# Each refused server must not see a request: its access log stays empty.
# The last row's manifest comes from a good server, its files from an
# expired one: the downloads are refused as the manifest fetch is.
for row in "localhost|expired|expired|expired" "localhost|wrong_name|wrong_name|for another name" \
  "127.0.0.1|wrong_name|wrong_name|for another name and address, named by address" \
  "localhost|unknown_ca|unknown_ca|from a CA nobody trusts" "localhost|revoked|revoked|revoked, its CRL served" \
  "localhost|manifest_good|files_refused|good for the manifest, expired for the files"; do
  IFS='|' read -r host start refused what <<<"$row"
  outcome=$(ZQ_HOST=$host update_from "$start" "" 5)
  check "$what: nothing is staged (got $outcome)" test "$outcome" = none
  check "$what: no request reached the refused server ($(requests_at "$refused" | wc -l) did)" \
    test -z "$(requests_at "$refused")"
done
check "the files' server refused: the manifest was read from the good one" \
  test "$(paths_at manifest_good)" = "/soft/package.json "
check "the files' server refused: no staged or partial file is left ($(staged_files "$work/install-manifest_good-localhost"))" \
  test -z "$(staged_files "$work/install-manifest_good-localhost")"
check "revoked: the CRL was fetched from where the certificate names it" \
  grep -q 'GET /files/ca.crl' "$work/nginx-crl/access.log"

outcome=$(update_from crl_unreachable)
check "a CRL that cannot be reached is no refusal: release 2 is staged (got $outcome)" test "$outcome" = staged

zq_report "https journey"
