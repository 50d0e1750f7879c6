#!/usr/bin/env bash
# Cross-builds static libcurl (Schannel, HTTP only, plus curl.exe), jsoncpp,
# libsodium (release signatures and SHA-256), libzstd (compressed copies and
# deltas) and libdivsufsort (the publisher's patch maker) for Windows x86-64 or
# x86 from
# Debian's source packages, the same versions as the -dev packages installed
# here, and prints the install prefix on stdout.
#
#   scripts/build-deps.sh [--arch x86_64|x86] [--print-prefix]   (default x86_64)
#
# The prefix lives outside the repository, under
#   $ZQ_CACHE/deps/<arch>_curl-<version>_jsoncpp-<version>_sodium-<version>_zstd-<version>_divsufsort-<version>_<hash>
# where <hash> covers the toolchain file and the configure options below: a
# second run with the same inputs prints the prefix at once, without network.
# Progress goes to stderr; the full build log to $ZQ_CACHE/deps/logs/.
set -euo pipefail

# Only the prefix may reach stdout: CMake reads it.
exec 3>&1 1>&2

log() { printf '[build-deps] %s\n' "$*" >&2; }
die() { printf '[build-deps] error: %s\n' "$*" >&2; exit 1; }

arch=x86_64
while [ $# -gt 0 ]; do
  case "$1" in
    --print-prefix) ;;
    --arch)
      [ $# -ge 2 ] || die "--arch needs a value (x86_64 or x86)"
      arch=$2
      shift
      ;;
    -h | --help)
      sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&3
      exit 0
      ;;
    *) die "unknown argument '$1' (--arch x86_64|x86 and --print-prefix are accepted)" ;;
  esac
  shift
done

root=$(cd -P "$(dirname "$0")/.." && pwd)
case "$arch" in
  x86_64) toolchain=$root/cmake/mingw-w64-x86_64.cmake ;;
  x86) toolchain=$root/cmake/mingw-w64-i686.cmake ;;
  *) die "unknown architecture '$arch' (x86_64 or x86)" ;;
esac
check_imports=$root/cmake/check_imports.cmake
cache=${ZQ_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zenquilostudent}
deps=$cache/deps
jobs=2

[ -f "$toolchain" ] || die "toolchain file not found: $toolchain"

# Every option that changes what is built belongs here: they are part of the key.
curl_options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_CURL_EXE=ON
  # curl.exe must run on its own, without libgcc or winpthread DLLs.
  -DCMAKE_EXE_LINKER_FLAGS=-static
  -DBUILD_TESTING=OFF
  -DENABLE_MANUAL=OFF
  -DPICKY_COMPILER=OFF
  -DHTTP_ONLY=ON
  -DCURL_DISABLE_LDAP=ON
  -DCURL_DISABLE_LDAPS=ON
  -DCURL_USE_SCHANNEL=ON
  -DCURL_USE_OPENSSL=OFF
  -DCURL_ZLIB=OFF
  -DCURL_BROTLI=OFF
  -DCURL_ZSTD=OFF
  -DUSE_LIBIDN2=OFF
  -DUSE_WIN32_IDN=OFF
  -DCURL_USE_LIBPSL=OFF
  -DCURL_USE_LIBSSH2=OFF
  -DCURL_USE_LIBSSH=OFF
  -DCURL_USE_GSSAPI=OFF
  -DUSE_NGHTTP2=OFF
  -DENABLE_ARES=OFF
)
# libsodium builds with autotools. No stack protector: MinGW's needs libssp,
# which the program would then have to carry.
sodium_options=(
  --disable-shared
  --enable-static
  --disable-ssp
  --disable-dependency-tracking
)
# The library alone: no programs, no legacy formats (nothing of ours ever wrote
# them), multithreaded compression for the publisher.
zstd_options=(
  -DCMAKE_BUILD_TYPE=Release
  -DZSTD_BUILD_STATIC=ON
  -DZSTD_BUILD_SHARED=OFF
  -DZSTD_BUILD_PROGRAMS=OFF
  -DZSTD_BUILD_TESTS=OFF
  -DZSTD_BUILD_CONTRIB=OFF
  -DZSTD_LEGACY_SUPPORT=OFF
  -DZSTD_MULTITHREAD_SUPPORT=ON
)
# The 32-bit index only, as the patch maker uses; its examples are programs.
divsufsort_options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_EXAMPLES=OFF
  -DBUILD_DIVSUFSORT64=OFF
  -DUSE_OPENMP=OFF
  # Debian's multi-arch patch puts the header below include/<this>.
  -DCMAKE_LIBRARY_ARCHITECTURE=
)
jsoncpp_options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_STATIC_LIBS=ON
  -DBUILD_OBJECT_LIBS=OFF
  -DJSONCPP_WITH_TESTS=OFF
  -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF
  -DJSONCPP_WITH_EXAMPLE=OFF
  -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF
  -DJSONCPP_WITH_CMAKE_PACKAGE=ON
)

installed_source_version() {
  local v
  v=$(dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null) || true
  [ -n "$v" ] || die "package $1 is not installed; its version picks the sources to build (apt-get install $1)"
  printf '%s' "$v"
}
curl_version=$(installed_source_version libcurl4-openssl-dev)
jsoncpp_version=$(installed_source_version libjsoncpp-dev)
sodium_version=$(installed_source_version libsodium-dev)
zstd_version=$(installed_source_version libzstd-dev)
divsufsort_version=$(installed_source_version libdivsufsort-dev)
# The compilers the toolchain file names, for the autotools build.
mingw_cc=$(sed -n 's/^set(CMAKE_C_COMPILER \(.*\))$/\1/p' "$toolchain")
[ -n "$mingw_cc" ] || die "no CMAKE_C_COMPILER in $toolchain"
mingw_host=${mingw_cc%-gcc*}

inputs_hash=$(
  {
    cat "$toolchain"
    printf 'curl:\n'; printf '%s\n' "${curl_options[@]}"
    printf 'jsoncpp:\n'; printf '%s\n' "${jsoncpp_options[@]}"
    printf 'sodium:\n'; printf '%s\n' "${sodium_options[@]}"
    printf 'zstd:\n'; printf '%s\n' "${zstd_options[@]}"
    printf 'divsufsort:\n'; printf '%s\n' "${divsufsort_options[@]}"
  } | sha256sum | cut -c1-12
)
# An epoch's colon would make an awkward path; versions use nothing else unusual.
key=$(printf '%s_curl-%s_jsoncpp-%s_sodium-%s_zstd-%s_divsufsort-%s_%s' "$arch" "$curl_version" "$jsoncpp_version" \
  "$sodium_version" "$zstd_version" "$divsufsort_version" "$inputs_hash" | tr ':' '%')
prefix=$deps/$key
# Written last into the staged prefix: a directory without it was not made by a
# finished run.
stamp=.zq-deps-complete

finish() {
  printf '%s\n' "$prefix" >&3
  exit 0
}

[ -f "$prefix/$stamp" ] && finish

mkdir -p "$deps/logs"
# Two configures at once (two build trees, two engineers) must not build the
# same prefix twice or rename over each other.
exec 4>"$deps/.lock-$key"
if ! flock -n 4; then
  log "another build of $key is running; waiting for it"
  flock 4
fi
[ -f "$prefix/$stamp" ] && finish

# We hold the lock, so anything left for this key is from a run that died.
rm -rf "$deps/.build-$key".*
if [ -e "$prefix" ]; then
  log "removing unfinished $prefix"
  rm -rf "$prefix"
fi

# The work directory sits beside the prefix so the final rename stays on one
# file system and is atomic.
work=$(mktemp -d "$deps/.build-$key.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Bash skips the EXIT trap when a signal ends it; exiting from the handler runs it.
trap 'exit 130' INT
trap 'exit 143' TERM HUP
logfile=$deps/logs/$key.log
: >"$logfile"

# Runs a step with its output in the log; on failure shows the log's end.
step() {
  local what=$1
  shift
  log "$what"
  if ! "$@" >>"$logfile" 2>&1; then
    tail -n 40 "$logfile" >&2
    die "$what failed (full log: $logfile)"
  fi
}

log "building $key (full log: $logfile)"
started=$SECONDS

# A private apt state: the machine's sources, lists and caches stay untouched.
. "$root/scripts/debian-sources.sh"
zq_private_apt "$work/apt" || die "cannot make a private apt state from the machine's sources"
apt_options=("${zq_apt_options[@]}")
step "fetching Debian's source index" apt-get "${apt_options[@]}" update

src=$work/src
mkdir -p "$src"
log "fetching sources: curl $curl_version, libjsoncpp $jsoncpp_version, libsodium $sodium_version, libzstd $zstd_version, libdivsufsort $divsufsort_version"
if ! (cd "$src" && apt-get "${apt_options[@]}" source --download-only \
      "curl=$curl_version" "libjsoncpp=$jsoncpp_version" "libsodium=$sodium_version" \
      "libdivsufsort=$divsufsort_version") >>"$logfile" 2>&1; then
  tail -n 20 "$logfile" >&2
  die "could not fetch the installed versions (curl $curl_version, libjsoncpp $jsoncpp_version, libsodium $sodium_version, libdivsufsort $divsufsort_version) from Debian's mirrors; if the mirror moved on, upgrade libcurl4-openssl-dev / libjsoncpp-dev / libsodium-dev / libdivsufsort-dev and run again"
fi
# Some mirrors index a security update of libzstd without carrying its
# source; then the same upstream release as the stable suite packages it
# (the version without its +debNuM suffix) is built, and said so.
zstd_source_version=$zstd_version
if ! (cd "$src" && apt-get "${apt_options[@]}" source --download-only "libzstd=$zstd_version") >>"$logfile" 2>&1; then
  zstd_source_version=${zstd_version%+deb*}
  [ "$zstd_source_version" != "$zstd_version" ] ||
    die "could not fetch libzstd $zstd_version from Debian's mirrors; upgrade libzstd-dev and run again"
  log "libzstd $zstd_version has no source on this mirror; building $zstd_source_version, its stable release"
  if ! (cd "$src" && apt-get "${apt_options[@]}" source --download-only "libzstd=$zstd_source_version") >>"$logfile" 2>&1; then
    tail -n 20 "$logfile" >&2
    die "could not fetch libzstd $zstd_version or $zstd_source_version from Debian's mirrors"
  fi
fi

# dpkg-source applies Debian's patches (the security fixes among them).
unpack() {
  local dsc=$1 dir=$2
  [ -f "$src/$dsc" ] || die "expected $dsc after apt-get source"
  step "unpacking $dsc" dpkg-source -x "$src/$dsc" "$dir"
}
# A .dsc name carries the version without its epoch.
unpack "curl_${curl_version#*:}.dsc" "$src/curl"
unpack "libjsoncpp_${jsoncpp_version#*:}.dsc" "$src/jsoncpp"
unpack "libsodium_${sodium_version#*:}.dsc" "$src/sodium"
unpack "libzstd_${zstd_source_version#*:}.dsc" "$src/zstd-source"
unpack "libdivsufsort_${divsufsort_version#*:}.dsc" "$src/divsufsort"

stage=$work/stage
build_one() {
  local name=$1 source_dir=$2
  shift 2
  step "configuring $name" cmake -S "$source_dir" -B "$work/build-$name" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
  step "building $name" cmake --build "$work/build-$name" -j "$jobs"
  # Installed through DESTDIR so the files that record the prefix name the final one.
  step "installing $name" env DESTDIR="$stage" cmake --install "$work/build-$name"
}
build_one jsoncpp "$src/jsoncpp" "${jsoncpp_options[@]}"
build_one curl "$src/curl" "${curl_options[@]}"
# zstd keeps its CMake build below build/cmake.
build_one zstd "$src/zstd-source/build/cmake" "${zstd_options[@]}"
build_one divsufsort "$src/divsufsort" "${divsufsort_options[@]}"
# Debian's source has no generated configure script (its packaging makes one),
# so make it here the way libsodium's own release does.
step "generating libsodium's configure" env -C "$src/sodium" ./autogen.sh -s
mkdir -p "$work/build-sodium"
step "configuring libsodium" env -C "$work/build-sodium" "$src/sodium/configure" --host="$mingw_host" \
  CC="$mingw_cc" --prefix="$prefix" "${sodium_options[@]}"
step "building libsodium" make -C "$work/build-sodium" -j "$jobs"
step "installing libsodium" make -C "$work/build-sodium" install DESTDIR="$stage"

staged=$stage$prefix
for f in include/curl/curl.h include/json/json.h include/sodium.h include/zstd.h include/divsufsort.h \
         lib/libcurl.a lib/libjsoncpp.a lib/libsodium.a lib/libzstd.a lib/libdivsufsort.a bin/curl.exe \
         lib/cmake/CURL/CURLConfig.cmake lib/cmake/jsoncpp/jsoncppConfig.cmake; do
  [ -f "$staged/$f" ] || die "install is missing $f"
done
step "checking curl.exe imports only system DLLs" cmake \
  -DOBJDUMP="$mingw_host-objdump" -DPROGRAM="$staged/bin/curl.exe" -P "$check_imports"

printf 'libzstd %s\n' "$zstd_source_version" >"$staged/zq-sources.txt"
touch "$staged/$stamp"
mv -T "$staged" "$prefix"
log "done in $((SECONDS - started)) s"
finish
