#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Safe to run again: a machine that has everything is left alone (no network).
set -euo pipefail

packages=(
  # native build and tests
  cmake ninja-build g++ pkg-config googletest libcurl4-openssl-dev libjsoncpp-dev libsodium-dev libzstd-dev
  # the suffix sorting of the publisher's patch maker
  libdivsufsort-dev
  # xmllint, for the Group Policy template's test
  libxml2-utils
  # zlib, for zq_publish report's rotated logs: natively, and static for both MinGW-w64 targets
  zlib1g-dev libz-mingw-w64-dev
  # Windows builds, x86-64 and x86: MinGW-w64 with the posix thread model
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  # cross-building libcurl, jsoncpp and libsodium from Debian's sources
  dpkg-dev ca-certificates autoconf automake libtool
  # the manifest fuzzer (libFuzzer comes with clang)
  clang libclang-rt-14-dev
  # the layout check of the C and C++ files (scripts/check-format.sh)
  clang-format
  # running and driving Windows programs; wine32 (i386 multiarch) runs the
  # 32-bit ones inside the same prefix
  wine64 wine32:i386 xvfb xdotool x11-utils imagemagick python3 file
  # where the kernel runs no 32-bit program, the x86 smoke run emulates one
  # (without recommends: qemu-user-binfmt would register it for good)
  qemu-user
  # the update server for the demo and the deployment test; curl plays the
  # fifty clients of the school cache's test
  nginx curl
  # the school's proxy of the proxy journey (tests/deploy/proxy_journey_test.sh)
  squid
  # Samba's ntlm_auth, which Wine's NTLM runs: the client's answer to the
  # proxy that asks who is there (tests/deploy/proxy_auth_journey_test.sh)
  winbind
  # the load generator of scripts/load-bench.sh (the update server and a
  # school's cache under 100 and 1,000 clients)
  wrk
  # the peers of our deltas in scripts/delta-bench.sh
  bsdiff xdelta3
  # Authenticode signing of the program and its packages (zq_publish sign,
  # --sign-cert); the signing test makes its certificates with openssl and its
  # MSI with wixl. Debian 12 gives osslsigncode 2.5, backports 2.9: both do.
  osslsigncode openssl
  # the installer executable of a full release (zq_publish --make-installer)
  nsis
  # the MSI that zq_publish package builds: wixl writes it, msibuild adds the
  # tables wixl cannot, msiinfo reads it back
  wixl msitools
  # Chinese text in the screenshots (the Wine prefix has no CJK font of its own)
  fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "[install] installing: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
# wine32 comes from Debian's i386 packages.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
