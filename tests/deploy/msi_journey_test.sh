#!/usr/bin/env bash
# IT's journey with the MSI under Wine, the packages made by the native
# zq_publish from published releases:
#   1. release 1 installed silently with UPDATE_URL and HOME_URL: its files
#      byte for byte and package.json in the 64-bit Program Files, the two
#      settings in zenquilostudent.ini, "kvts://" in HKLM's classes, one
#      Programs and Features entry, a Start-menu shortcut.
#   2. release 2's MSI over it, given HOME_URL only: still one entry,
#      release 2's files (release 1's removed file gone), the remembered
#      update URL kept and the home URL replaced.
#   3. a "kvts://" link opened through the system's protocol handler, as a
#      browser opens it: the installed program starts the live-classroom
#      shell with the command line its dispatch builds.
#   4. msiexec /x: nothing of the install is left but what the shells wrote.
# Usage: msi_journey_test.sh WINDOWS_BUILD_DIR (inside the Wine test environment;
# the native build beside it provides zq_publish).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
export ZQ_PUBLISH=$(dirname "$ZQ_BUILD")/native/publisher/zq_publish
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"
[ -x "$ZQ_PUBLISH" ] || { echo "msi journey: no native zq_publish at $ZQ_PUBLISH (build the native preset)"; exit 1; }

install=$WINEPREFIX/drive_c/Program\ Files/ZenquiloStudent
# Another install in this prefix would be taken for ours, and removed.
[ ! -e "$install" ] || { echo "msi journey: $install exists already in $WINEPREFIX"; exit 1; }
zq_journey_begin msi-journey
probe=$ZQ_BUILD/tests/x86_smoke_probe.exe
install_win='C:\Program Files\ZenquiloStudent\'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }
# A run that failed half-way must not leave the product in the prefix.
remove_install() {
  local msi
  "$WINE" "$probe" end "$install_win" >/dev/null 2>&1 </dev/null || true
  for msi in "$work"/pkg*/ZenquiloStudent-x64.msi; do
    [ -e "$msi" ] && "$WINE" msiexec /x "$(windows_path "$msi")" /qn >/dev/null 2>&1 </dev/null || true
  done
  rm -rf "$install"
}
trap 'remove_install; zq_journey_end' EXIT

# reg_value KEY [/v NAME | /ve]: the value's data, or nothing. reg prints
# "    NAME    TYPE    DATA", four blanks apart.
reg_value() {
  "$WINE" reg query "$@" 2>/dev/null </dev/null | tr -d '\r' | awk -F'    ' 'NF >= 4 && $3 ~ /^REG_/ {print $4; exit}'
}
entries() {  # the Programs and Features entries named ZenquiloStudent
  "$WINE" reg query "$uninstall_key" /s 2>/dev/null </dev/null | tr -d '\r' | grep -c 'DisplayName.*REG_SZ *ZenquiloStudent$' || true
}
entry_version() {
  "$WINE" reg query "$uninstall_key" /s 2>/dev/null </dev/null | tr -d '\r' |
    awk '/DisplayName.*REG_SZ +ZenquiloStudent$/ {found = 1} found && /DisplayVersion/ {print $3; exit}'
}
installs() {  # RELEASE_DIR PUBLISHED_DIR: the install holds them byte for byte
  local f
  while IFS= read -r f; do
    cmp -s "$1/$f" "$install/$f" || { echo "differs: $f" >&2; return 1; }
  done < <(cd "$1" && find . -type f)
  cmp -s "$2/package.json" "$install/package.json"
}
settings_are() {  # the ini's lines, CRLF dropped
  [ "$(tr -d '\r' <"$install/zenquilostudent.ini")" = "$1" ]
}
shortcut() { find "$WINEPREFIX/drive_c" -name ZenquiloStudent.lnk -path '*Start Menu/Programs*' | head -n 1; }
run_msi() {  # i|x MSI [PROPERTY=VALUE...]
  local action=$1 msi
  msi=$(windows_path "$2")
  shift 2
  "$WINE" msiexec "/$action" "$msi" /qn "$@" </dev/null >/dev/null 2>&1
}
timed() {  # NAME COMMAND...: runs it and adds its duration to durations
  local name=$1 start status=0
  shift
  start=$(date +%s%N)
  "$@" || status=$?
  durations+="$name $((($(date +%s%N) - start) / 1000000)) ms; "
  return $status
}
durations=""

# Releases made of the real program, the stand-in shells and a Chinese name.
r1=$work/release1
r2=$work/release2
mkdir -p "$r1/docs" "$r2/docs" "$r2/bin"
cp "$ZQ_BUILD/ZenquiloStudent.exe" "$ZQ_BUILD/fixtures/zenquilo.exe" "$ZQ_BUILD/fixtures/zenquilo_live.exe" "$r1/"
cp "$r1"/*.exe "$r2/"
printf 'release 1\n' >"$r1/docs/说明.txt"
printf 'gone in release 2\n' >"$r1/old.txt"
printf 'release 2\n' >"$r2/docs/说明.txt"
printf 'new in release 2\n' >"$r2/bin/new.dat"
base=http://127.0.0.1:$(zq_free_port)
for n in 1 2; do
  previous=()
  [ "$n" = 1 ] || previous=(--previous "$work/out1/package.json")
  zq_publish_release --release-dir "$work/release$n" --version "$n" --date 2026120$n --base-url "$base" \
    --out "$work/out$n" --no-smaller-forms "${previous[@]}" >/dev/null
  check "release $n is packaged" timed "package$n" \
    zq_publish_release package --published "$work/out$n" --release-dir "$work/release$n" --out "$work/pkg$n"
done
msi1=$work/pkg1/ZenquiloStudent-x64.msi
msi2=$work/pkg2/ZenquiloStudent-x64.msi
echo "MSI sizes: $(stat -c %s "$msi1") and $(stat -c %s "$msi2") bytes"

# --- 1. Release 1, installed silently with the school's settings ------------------
update_url=$base/soft/package.json
check "release 1 installs silently" timed install run_msi i "$msi1" "UPDATE_URL=$update_url" HOME_URL=http://home.example/
check "its files and package.json, byte for byte, in the 64-bit Program Files" installs "$r1" "$work/out1"
check "the settings file holds both properties" \
  settings_are "$(printf '[global]\nURL_UPDATE_PACKAGE=%s\nURL_HOME_PACKAGE=http://home.example/' "$update_url")"
check "kvts is a URL protocol of the machine" \
  test "$(reg_value 'HKLM\Software\Classes\kvts' /ve)|$("$WINE" reg query 'HKLM\Software\Classes\kvts' /v 'URL Protocol' 2>/dev/null </dev/null | grep -c 'URL Protocol')" = "URL:kvts Protocol|1"
check "a kvts link opens the installed program with the link quoted" \
  test "$(reg_value 'HKLM\Software\Classes\kvts\shell\open\command' /ve)" = "\"${install_win}ZenquiloStudent.exe\" \"%1\""
check "the install directory is recorded" test "$(reg_value 'HKLM\Software\ZenquiloStudent' /v InstallDir)" = "$install_win"
check "one Programs and Features entry, MSI version 0.0.1" test "$(entries) $(entry_version)" = "1 0.0.1"
check "a Start-menu shortcut" test -n "$(shortcut)"
# The release's installer executable over it, as a full release would run it:
# the MSI stays the one entry and the one removal.
check "release 1's installer executable runs over it" \
  "$WINE" "$work/pkg1/ZenquiloStudent-x64-setup.exe" /S </dev/null >/dev/null 2>&1
check "still one entry, one shortcut, and no second uninstaller" \
  test "$(entries) $(shortcut | wc -l) $(ls "$install" | grep -c uninstall)" = "1 1 0"

# --- 2. Release 2's MSI over it ---------------------------------------------------------
check "release 2 upgrades it silently" timed upgrade run_msi i "$msi2" HOME_URL=http://home2.example/
check "still one entry, now 0.0.2" test "$(entries) $(entry_version)" = "1 0.0.2"
check "release 2's files and package.json, byte for byte" installs "$r2" "$work/out2"
check "release 1's removed file is gone" test ! -e "$install/old.txt"
check "the update URL is remembered, the new home URL taken" \
  settings_are "$(printf '[global]\nURL_UPDATE_PACKAGE=%s\nURL_HOME_PACKAGE=http://home2.example/' "$update_url")"

# --- 3. A kvts link, through the system as a browser opens it ----------------------------
link='kvts://zenquilo/class?id=1'
"$WINE" start "$link" </dev/null >/dev/null 2>&1
check "the link starts the live-classroom shell" zq_wait 60 zq_started "$install" zenquilo_live.exe 1
short=$("$WINE" "$probe" short "$install_win" 2>/dev/null </dev/null | tr -d '\r')
expected="\"${install_win}zenquilo_live.exe\" \"--zenquilo/class?id=1\" --enable-media-stream --enable-file-cookies"
expected+=" --cache-path=\"${short}cache\\live\""
actual=$(zq_last_command_line "$install" zenquilo_live.exe || true)
check "with the command line the dispatch builds" test "$actual" = "$expected"
[ "$actual" = "$expected" ] || printf 'expected: %s\nactual:   %s\n' "$expected" "$actual"
check "the program made its temp folder" test -d "$install/temp"
# The program stays resident after a link; nothing of it may outlive the test.
"$WINE" "$probe" end "$install_win" >/dev/null 2>&1 </dev/null
check "the program and its shell have ended" \
  bash -c "! '$WINE' '$probe' running ZenquiloStudent.exe && ! '$WINE' '$probe' running zenquilo_live.exe" </dev/null

# --- 4. Removal -----------------------------------------------------------------------------
# A pending manifest, as the updater leaves it staged.
mkdir -p "$install/temp"
cp "$work/out2/package.json" "$install/temp/package.json"
check "msiexec /x removes it silently" timed remove run_msi x "$msi2"
left=$(cd "$install" 2>/dev/null && find . ! -name . ! -name '*.cmdline' ! -path './cache' ! -path './cache/*' | sort)
check "nothing is left of the install but what the shells wrote" test -z "$left"
[ -z "$left" ] || printf 'left: %s\n' $left
check "no entry, no kvts, no settings key" \
  test "$(entries)|$(reg_value 'HKLM\Software\Classes\kvts' /ve)|$(reg_value 'HKLM\Software\ZenquiloStudent' /v InstallDir)" = "0||"
check "no shortcut" test -z "$(shortcut)"
echo "durations: $durations"

zq_report "msi journey"
