#!/usr/bin/env bash
# The full-package road end to end, with the installer executable that
# zq_publish --make-installer builds (the native publisher, which runs
# makensis), served by nginx with the update server's configuration:
#   1. release 1 installed by its installer with /S into a directory given
#      with /D=: its files, package.json, the "kvts://" registration, the
#      Programs and Features entry, and no program started.
#   2. release 2, a full one, served: ZenquiloStudent started as a user
#      starts it fetches and proves the installer, asks, starts it and
#      closes; the installer waits for it, installs release 2 byte for byte
#      with its package.json, and starts ZenquiloStudent again.
#   3. the installer run by hand (finding the install by the registry)
#      while ZenquiloStudent and its learning shell run: it waits for the
#      program; the shell's file cannot be replaced, so it ends with 2, keeps
#      the old package.json and starts the program again; with nothing
#      running it installs with 0.
#   4. the uninstaller, run in place: the release's files, package.json,
#      temp\, the registration, the shortcut and the entry are gone.
#   5. the full-package road again on a PC IT installed with release 1's MSI:
#      release 2 over the MSI's files, no second entry, and the MSI still
#      removes the program.
# Usage: full_update_journey_test.sh WINDOWS_BUILD_DIR (inside the Wine test
# environment; the native build lies beside it in build/native).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
export ZQ_PUBLISH=$(dirname "$ZQ_BUILD")/native/publisher/zq_publish
probe=$ZQ_BUILD/tests/full_update_probe.exe
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"
for needed in "$ZQ_PUBLISH" "$probe" "$ZQ_BUILD/fixtures/next/ZenquiloStudent.exe"; do
  [ -x "$needed" ] || [ -f "$needed" ] || { echo "missing: $needed (build the native and windows presets)" >&2; exit 1; }
done

# The x86 installer keeps its own keys in the 32-bit view (WOW6432Node); the
# scheme, which Windows shares between the views, in the native one.
arch=${ZQ_ARCH:-x64}
software='HKLM\Software'
[ "$arch" = x86 ] && software='HKLM\Software\WOW6432Node'
product_key="$software\ZenquiloStudent"
msi_install=$WINEPREFIX/drive_c/Program\ Files/ZenquiloStudent
[ "$arch" = x86 ] && msi_install=$WINEPREFIX/drive_c/Program\ Files\ \(x86\)/ZenquiloStudent
windows_path_of() { "$WINE" winepath -w "$1" 2>/dev/null </dev/null | tr -d '\r'; }
entry_key="$software\Microsoft\Windows\CurrentVersion\Uninstall\ZenquiloStudent"
shortcut=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/ZenquiloStudent.lnk
zq_journey_begin full-update-journey
msi1=$work/pkg1/ZenquiloStudent-$arch.msi
# What the installer registers lives in the prefix, beyond $work: it goes
# too, and the program it started, whatever the outcome.
finish() {
  local key
  "$WINE" taskkill /f /im ZenquiloStudent.exe >/dev/null 2>&1 </dev/null || true
  if [ -f "$msi1" ]; then
    "$WINE" msiexec /x "$(windows_path_of "$msi1")" /qn >/dev/null 2>&1 </dev/null || true
    rm -rf "$msi_install"
  fi
  for key in 'HKLM\Software\Classes\kvts' "$product_key" "$entry_key"; do
    "$WINE" reg delete "$key" /f >/dev/null 2>&1 </dev/null || true
  done
  rm -f "$shortcut"
  zq_journey_end
}
trap finish EXIT

run=$work/nginx
port=$(zq_free_port)
base=http://127.0.0.1:$port
install="$work/Program Files/ZenquiloStudent"
install_win="Z:${install//\//\\}"
# NSIS reads /D= and _?= only unquoted and last on the command line, blanks
# and all, as an operator types them; Wine quotes an argument that holds a
# blank, so the path goes as words that Wine joins with blanks.
read -ra install_dir_option <<<"/D=$install_win"
read -ra in_place_option <<<"_?=$install_win"

# reg_value KEY NAME: a registry value's data as reg.exe prints it ("" for the default).
reg_value() {
  local name=(/v "$2")
  [ -z "$2" ] && name=(/ve)
  "$WINE" reg query "$1" "${name[@]}" 2>/dev/null </dev/null | tr -d '\r' |
    sed -n 's/^ *[^ ].*REG_[A-Z_]* *//p' | head -n 1
}
reg_absent() { ! "$WINE" reg query "$1" >/dev/null 2>&1 </dev/null; }
# probe ARGS...: the probe's exit code; its output in $work/probe.txt.
probe() {
  "$WINE" "$probe" "$@" >"$work/probe.txt" 2>/dev/null </dev/null
}
version_of() { sed -n 's/^ *"version": "\([0-9]*\)".*/\1/p' "$1"; }
# Every file of release DIR lies in the install, byte for byte.
installed_is() {
  local f
  while IFS= read -r f; do
    cmp -s "$1/$f" "$install/$f" || { echo "differs: $f" >&2; return 1; }
  done < <(cd "$1" && find . -type f)
}
# The package.json an installer holds: its release's manifest before the
# installer's keys and the smaller forms, as a release without them has it.
installed_manifest_is() {
  cmp -s "$install/package.json" "$work/plain$1/package.json"
}

# Release 1: the program, the stand-in shells and a few files; release 2: the
# program one build later, a changed file, a new file under a Chinese name
# with a blank, and a file gone.
r1=$work/release1
r2=$work/release2
mkdir -p "$r1/课件" "$r2/课件"
for r in "$r1" "$r2"; do cp "$ZQ_BUILD/fixtures/zenquilo.exe" "$ZQ_BUILD/fixtures/zenquilo_live.exe" "$r/"; done
cp "$ZQ_BUILD/ZenquiloStudent.exe" "$r1/"
cp "$ZQ_BUILD/fixtures/next/ZenquiloStudent.exe" "$r2/"
printf 'lesson, release 1' >"$r1/课件/第一课.dat"
printf 'retired in release 2' >"$r1/old.dat"
printf 'lesson, release 2' >"$r2/课件/第一课.dat"
printf 'new in release 2' >"$r2/课件/新 课程 \$2.dat"
publish() {  # RELEASE VERSION OUT [ARGS...]
  local release=$1 version=$2 out=$3
  shift 3
  zq_publish_release --release-dir "$release" --version "$version" --date 2026120$version --base-url "$base" \
    --out "$out" --make-installer "$@" >/dev/null
}
start=$SECONDS
publish "$r1" 1 "$work/out1"
publish "$r2" 2 "$work/out2" --previous "$work/out1/package.json"
zq_publish_release --release-dir "$r1" --version 1 --date 20261201 --base-url "$base" --out "$work/plain1" \
  --no-smaller-forms >/dev/null
zq_publish_release --release-dir "$r2" --version 2 --date 20261202 --base-url "$base" --out "$work/plain2" \
  --no-smaller-forms --previous "$work/out1/package.json" >/dev/null
echo "both releases and their installers published in $((SECONDS - start)) s"
setup2=$work/out2/installer/ZenquiloStudent-$arch-setup.exe
check "release 2 is a full release naming its installer" \
  grep -q '"install_package_url": "'"$base"'/installer/ZenquiloStudent-'"$arch"'-setup.exe"' "$work/out2/package.json"

# --- 1. Release 1 by its installer, silently ----------------------------------
start=$SECONDS
status=0
"$WINE" "$work/out1/installer/ZenquiloStudent-$arch-setup.exe" /S "${install_dir_option[@]}" >/dev/null 2>&1 </dev/null || status=$?
echo "release 1 installed in $((SECONDS - start)) s"
check "the silent installer ends with 0" test "$status" = 0
check "release 1 is installed byte for byte" installed_is "$r1"
check "its package.json is release 1's manifest" installed_manifest_is 1
check "kvts:// opens the installed program with the link" \
  test "$(reg_value 'HKLM\Software\Classes\kvts\shell\open\command' '')" = "\"$install_win\\ZenquiloStudent.exe\" \"%1\""
check "kvts is a URL protocol" test "$(reg_value 'HKLM\Software\Classes\kvts' '')" = "URL:kvts Protocol"
check "the install directory is remembered" \
  test "$(reg_value "$product_key" InstallDir)" = "$install_win"
check "Programs and Features lists release 1" test "$(reg_value "$entry_key" DisplayVersion)" = 1
check "a Start-menu shortcut is made" test -f "$shortcut"
check "a plain install starts no program" bash -c "! '$WINE' '$probe' tray 1 >/dev/null 2>&1 </dev/null"

# --- 2. Release 2 by the full-package road ------------------------------------
zq_point_at_server "$install" "$base/soft/package.json"
ln -sfn "$work/out2" "$work/current"
"$here/scripts/serve-release.sh" start "$work/current" "127.0.0.1:$port" "$run"
start=$SECONDS
pid=$(zq_run "$install")
pids+=("$pid")
check "the client proves the installer and gives notice" probe confirm 60
check "ZenquiloStudent closes for the installer" zq_wait 30 bash -c "! kill -0 $pid 2>/dev/null"
check "the installer is the one published" cmp -s "$setup2" "$install/temp/setup20261202.exe"
check "ZenquiloStudent runs again" probe tray 60
echo "release 2 installed and the program back in $((SECONDS - start)) s"
check "the program running is the installed one" \
  test "$(tr -d '\r' <"$work/probe.txt")" = "$install_win\\ZenquiloStudent.exe"
check "release 2 is installed byte for byte" installed_is "$r2"
check "the file release 2 retired is gone" test ! -e "$install/old.dat"
check "its package.json is release 2's manifest" installed_manifest_is 2
check "Programs and Features lists release 2" test "$(reg_value "$entry_key" DisplayVersion)" = 2
check "kvts:// still opens the installed program" \
  test "$(reg_value 'HKLM\Software\Classes\kvts\shell\open\command' '')" = "\"$install_win\\ZenquiloStudent.exe\" \"%1\""
check "started with an empty command line, it opens the learning shell" zq_wait 30 zq_started "$install" zenquilo.exe 2

# --- 3. Run by hand while ZenquiloStudent and its shell run -------------------
# Without /D=: the registry's InstallDir names the install.
end_programs() {
  local program
  for program in "$@"; do "$WINE" taskkill /f /im "$program" >/dev/null 2>&1 </dev/null || true; done
}
printf ' ' >>"$install/package.json"
"$WINE" "$setup2" /S >/dev/null 2>&1 </dev/null &
setup_pid=$!
sleep 3
check "the installer waits while ZenquiloStudent runs" kill -0 "$setup_pid"
end_programs ZenquiloStudent.exe
status=0
wait "$setup_pid" || status=$?
check "the learning shell still running, the installer ends with 2" test "$status" = 2
check "and leaves package.json as it was, so the update is offered again" \
  bash -c "! cmp -s '$install/package.json' '$work/plain2/package.json' && test \"\$(head -c -1 '$install/package.json')\" = \"\$(cat '$work/plain2/package.json')\""
check "it starts the program it replaced again" probe tray 30
end_programs ZenquiloStudent.exe zenquilo.exe
zq_wait 10 bash -c "! '$WINE' '$probe' tray 0 >/dev/null 2>&1 </dev/null" || true
status=0
"$WINE" "$setup2" /S >/dev/null 2>&1 </dev/null || status=$?
check "with nothing running, it ends with 0 and writes package.json" \
  bash -c "test $status = 0 && cmp -s '$install/package.json' '$work/plain2/package.json'"

# --- 4. The uninstaller -------------------------------------------------------
status=0
"$WINE" "$install/uninstall.exe" /S "${in_place_option[@]}" >/dev/null 2>&1 </dev/null || status=$?
check "the uninstaller ends with 0" test "$status" = 0
left=$(cd "$install" && find . ! -name '*.cmdline' | sort | tr '\n' ' ')
echo "left in the install directory, beside the shells' records: $left"
# Run in place (_?=), the uninstaller cannot delete itself.
check "nothing is left but what the shells wrote" test "$left" = ". ./uninstall.exe "
check "the registration, the remembered directory and the entry are gone" \
  bash -c "$(declare -f reg_absent); reg_absent 'HKLM\Software\Classes\kvts' && reg_absent '$product_key' &&
    reg_absent '$entry_key'"
check "the shortcut is gone" test ! -e "$shortcut"

# --- 5. The same road on a PC IT installed with release 1's MSI --------------
# The installer updates the files in place and leaves the product's
# registration to the MSI: one entry, and the MSI still removes it.
install=$msi_install
status=0
zq_publish_release package --published "$work/out1" --release-dir "$r1" --out "$work/pkg1" >/dev/null || status=$?
"$WINE" msiexec /i "$(windows_path_of "$msi1")" /qn "UPDATE_URL=$base/soft/package.json" >/dev/null 2>&1 </dev/null ||
  status=$?
check "release 1's MSI installs silently" test "$status" = 0
check "release 1 is installed by the MSI" installed_is "$r1"
pid=$(zq_run "$install")
pids+=("$pid")
check "the client proves the installer and gives notice" probe confirm 60
check "ZenquiloStudent closes for the installer" zq_wait 30 bash -c "! kill -0 $pid 2>/dev/null"
check "ZenquiloStudent runs again" probe tray 60
check "release 2 is installed over the MSI's files, byte for byte" installed_is "$r2"
check "its package.json is release 2's manifest" installed_manifest_is 2
check "no second entry, uninstaller or shortcut beside the MSI's" \
  bash -c "$(declare -f reg_absent); reg_absent '$entry_key' && test ! -e '$install/uninstall.exe' && test ! -e \"\$1\"" _ "$shortcut"
end_programs ZenquiloStudent.exe zenquilo.exe
status=0
"$WINE" msiexec /x "$(windows_path_of "$msi1")" /qn >/dev/null 2>&1 </dev/null || status=$?
check "the MSI still removes it" test "$status" = 0

zq_report "full update journey"
