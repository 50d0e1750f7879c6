#!/usr/bin/env bash
# Smaller updates end to end: releases published with compressed copies and
# deltas, served by nginx with the update server's configuration, installed
# by the real client under Wine.
#   1. release 1 installed, release 2 served: only delta URLs are fetched, and
#      the install is byte for byte release 2. zq_publish report, run on
#      nginx's log of it, says so, and so does the client's event log.
#   2. the same release with a road broken for each file: a file changed
#      locally (no base), a corrupt delta, a delta whose window is above the
#      cap, and a truncated compressed copy; each falls to the next road and
#      still installs. The event log names the digest refused, the attempt
#      given up and, for a server that cannot be reached, libcurl's words.
#   3. the client built with the test key, offered a delta that rebuilds the
#      right file but is not the one the signed manifest names: refused,
#      the compressed copy is taken instead.
#   4. a relinked program, whose release names a patch smaller than its zstd
#      delta: the patch alone is fetched; served damaged, it falls to the zstd
#      delta and the file is still proved.
#   5. a real program image rebuilt with one early function grown: its
#      release names a labelled patch, which alone is fetched and rebuilds
#      the new image byte for byte; served damaged, it falls to the zstd
#      delta.
# The program files of 1 to 3 may get patches too, as their builds decide:
# the expected roads count every delta form a file's manifest line names.
# Usage: delta_journey_test.sh WINDOWS_BUILD_DIR (inside the Wine test environment).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
export ZQ_BUILD=$(cd "$1" && pwd)
. "$here/scripts/wine-env.sh"
. "$here/scripts/journey-lib.sh"

zq_journey_begin delta-journey
run=$work/nginx

# Request paths of the release's files and their forms since the log had LINES lines.
fetched_since() {
  tail -n +"$(($1 + 1))" "$run/access.log" | awk '{print $7}' | grep -E '^/(files|compressed|deltas)/' || true
}
# The kinds of file fetched, by their names' endings ("zqpatch zst ").
fetched_kinds() { printf '%s\n' "$fetched" | sed -E 's,.*\.,,' | tr '\n' ' '; }
# The count of delta forms (zstd deltas and patches) the manifest names for a file.
forms_of() {  # NAME MANIFEST
  grep -F "\"name\": \"$1\"" "$2" | grep -o '"from_hash"' | wc -l
}
# "deltas deltas " for each of N forms, each tried twice (one retry), then what follows.
tried_twice() {  # N THEN
  local i out=
  for ((i = 0; i < $1; i++)); do out+="deltas deltas "; done
  printf '%s%s ' "$out" "$2"
}
# Every installed file of release 2, byte for byte.
installed_is_release2() {
  local f
  for f in a.dll bin/b.dll c.dat d.dat; do cmp -s "$1/$f" "$r2/$f" || { echo "differs: $f" >&2; return 1; }; done
}
# install_and_finish INSTALL: run one stages the update, run two installs it.
install_and_finish() {
  local pid
  pid=$(zq_run "$1")
  pids+=("$pid")
  zq_wait 90 test -f "$1/temp/package.json" || return 1
  zq_end_program "$pid"
  pid=$(zq_run "$1")
  pids+=("$pid")
  zq_wait 60 zq_started "$1" zenquilo.exe 2 || return 1
  zq_end_program "$pid"
}

port=$(zq_free_port)
base=http://127.0.0.1:$port
zq_test_key

# Real program files of a few hundred KiB, and their next builds.
r1=$work/release1
r2=$work/release2
mkdir -p "$r1/bin" "$r2/bin"
cp "$ZQ_BUILD/fixtures/com_server.dll" "$r1/a.dll"
cp "$ZQ_BUILD/fixtures/zenquilo.exe" "$r1/bin/b.dll"
head -c 400000 "$ZQ_BUILD/ZenquiloStudent.exe" >"$r1/c.dat"
tail -c 400000 "$ZQ_BUILD/publisher/zq_publish.exe" >"$r1/d.dat"
seed=1
for f in a.dll bin/b.dll c.dat d.dat; do
  zq_edited_copy "$r1/$f" "$r2/$f" $((seed++))
done
# SERVED offered to an install of release 1 (RELEASE, published to OUT), the
# update staged and installed; fetched holds the paths asked for meanwhile.
serve_and_update() {  # SERVED INSTALL RELEASE OUT WHAT
  ln -sfn "$1" "$work/current"
  zq_install_release "$2" "$ZQ_BUILD" "$3" "$4" "$base/soft/package.json"
  local lines
  lines=$(wc -l <"$run/access.log")
  check "$5 is staged and installed" install_and_finish "$2"
  fetched=$(fetched_since "$lines")
}
# OUT served with NAME's patch damaged at byte SEEK, to an install of release
# 1: the patch is tried twice (one retry), then the zstd delta is taken.
update_over_damaged_patch() {  # OUT NAME SEEK INSTALL RELEASE OUT1 WHAT
  cp -r "$1" "$1-bad"
  printf 'damaged' | dd of="$(find "$1-bad/deltas" -name "$2*.zqpatch" -type f)" bs=1 seek="$3" conv=notrunc status=none
  serve_and_update "$1-bad" "$4" "$5" "$6" "$7 over a damaged patch"
  check "a damaged patch of $2 falls to the zstd delta" \
    test "$(printf '%s\n' "$fetched" | sed -E 's,^/([a-z]+)/.*\.,\1 ,' | tr '\n' ' ')" = "deltas zqpatch deltas zqpatch deltas zst "
}
publish() {  # RELEASE VERSION OUT [ARGS...]
  local release=$1 version=$2 out=$3
  shift 3
  zq_publish_release --release-dir "$release" --version "$version" --date 2026120$version --base-url "$base" \
    --out "$out" "$@" >/dev/null
}
publish "$r1" 1 "$work/out1"
publish "$r2" 2 "$work/out2" --previous "$work/out1/package.json"
check "release 2 names a delta and a compressed copy for each file" \
  test "$(grep -o '"deltas": \[{' "$work/out2/package.json" | wc -l)$(grep -o '"compressed": {' "$work/out2/package.json" | wc -l)" = 44
ln -sfn "$work/out2" "$work/current"
"$here/scripts/serve-release.sh" start "$work/current" "127.0.0.1:$port" "$run"

# --- 1. Release 1 to 2 through deltas ----------------------------------------------
install=$work/install
zq_install_release "$install" "$ZQ_BUILD" "$r1" "$work/out1" "$base/soft/package.json"
log_lines=$(wc -l <"$run/access.log")
check "release 2 is staged and installed" install_and_finish "$install"
fetched=$(fetched_since "$log_lines")
check "only delta URLs are fetched, one per file" \
  test "$(printf '%s\n' "$fetched" | grep -c '^/deltas/2/')$(printf '%s\n' "$fetched" | grep -vc '^/deltas/')" = 40
check "the install is release 2, byte for byte" installed_is_release2 "$install"
delta_bytes=$(tail -n +"$((log_lines + 1))" "$run/access.log" | awk '$7 ~ /^\/deltas\// {s += $10} END {print s + 0}')
full_bytes=$(cat "$r2/a.dll" "$r2/bin/b.dll" "$r2/c.dat" "$r2/d.dat" | wc -c)
echo "bytes over the wire: $delta_bytes through deltas, against $full_bytes for the files"
check "the deltas weigh less than a tenth of the files" test $((delta_bytes * 10)) -lt "$full_bytes"
# What an administrator reads of it: the check, each file's road, the install.
logged() { grep -qE "^[0-9T:-]{19}Z $2" "$1/temp/zenquilostudent.log"; }
check "the log says what the check found" \
  logged "$install" "check: $base/soft/package.json: release 2 offered, release 1 installed, unsigned, rolled out to 100 % of PCs, this PC's bucket [0-9]+: taken"
check "the log names each file's road" test "$(grep -cE ' file (a\.dll|bin\\b\.dll|c\.dat|d\.dat): (delta|patch), ' \
  "$install/temp/zenquilostudent.log")" = 4
check "the log says the update was staged and installed" \
  bash -c "grep -q 'update: staged' '$install/temp/zenquilostudent.log' && grep -q 'finalise: done' '$install/temp/zenquilostudent.log'"

# The operator's report on this very log, its first lines rotated and
# compressed as logrotate leaves them. Run two may be ended before its check
# is logged; a third start, on release 2, is waited for, so the log holds
# checks from both releases, and the report must count what the log holds.
pid=$(zq_run "$install")
pids+=("$pid")
check "a start on release 2 says so in its check" \
  zq_wait 30 grep -q '"GET /soft/package.json?r=-\?[0-9]*&v=2 ' "$run/access.log"
zq_end_program "$pid"
checks=$(grep -c '"GET /soft/package.json?' "$run/access.log" || true)
on_release2=$(grep -c '"GET /soft/package.json?r=-\?[0-9]*&v=2 ' "$run/access.log" || true)
share=$(awk -v part="$on_release2" -v whole="$checks" 'BEGIN {printf "%5.1f", 100 * part / whole}')
head -n 2 "$run/access.log" | gzip >"$work/access.log.1.gz"
tail -n +3 "$run/access.log" >"$work/access.log"
report=$(zq_publish_release report --log "$work/access.log.1.gz" --log "$work/access.log")
echo "$report"
report_has() { grep -qE "$1" <<<"$report"; }
check "the report: $checks checks, $on_release2 of them from release 2" \
  report_has "^....-..-..: $checks update checks, $share % on release 2\$"
check "the report: the checks from release 1" report_has '^  1 +1 +'
check "the report: release 2's files went as 4 deltas, their bytes as logged" \
  report_has "^  delta +4 requests +$delta_bytes bytes\$"
check "the report: none whole" report_has '^  whole +0 requests +0 bytes$'
check "the report: none compressed" report_has '^  compressed +0 requests +0 bytes$'
check "the report: no line of nginx's is malformed" test "$(grep -c skipped <<<"$report")" = 0

# --- 2. A broken road for each file ---------------------------------------------
faults=$work/out2-faults
cp -r "$work/out2" "$faults"
ln -sfn "$faults" "$work/current"
# b.dll's delta damaged; c.dat's compressed copy cut short.
b_forms=$(forms_of b.dll "$faults/package.json")
for b_delta in $(find "$faults/deltas" -path '*bin/b.dll*' -type f); do
  printf '\x00\x01\x02\x03' | dd of="$b_delta" bs=1 seek=100 conv=notrunc status=none
done
c_copy=$(find "$faults/compressed" -name 'c.dat.zst' -type f)
truncate -s -100 "$c_copy"
# d.dat's delta says it needs a window past the cap (2^28, twice the client's);
# a patch of it, which names no window, is taken off its line, under either key.
python3 - "$faults/package.json" <<'PY'
import re, sys
path = sys.argv[1]
lines = open(path, encoding='utf-8').read().split('\n')
def past_cap(l):
    return re.sub(r', "(?:labelled_)?patches": \[[^\]]*\]', '', re.sub(r'"window_log": \d+', '"window_log": 28', l))
lines = [past_cap(l) if '"name": "d.dat"' in l else l for l in lines]
open(path, 'w', encoding='utf-8').write('\n'.join(lines))
PY
install=$work/install-faults
zq_install_release "$install" "$ZQ_BUILD" "$r1" "$work/out1" "$base/soft/package.json"
# a.dll and c.dat were changed on this PC: their digests match no base.
printf 'changed here' >>"$install/a.dll"
printf 'changed here' >>"$install/c.dat"
log_lines=$(wc -l <"$run/access.log")
check "release 2 is staged and installed over broken roads" install_and_finish "$install"
fetched=$(fetched_since "$log_lines")
roads() { printf '%s\n' "$fetched" | grep "$1" | sed -E 's,^/([a-z]+)/.*,\1,' | tr '\n' ' '; }
check "a file changed locally takes the compressed copy" test "$(roads '/a\.dll')" = "compressed "
check "corrupt deltas fall to the compressed copy" test "$(roads '/bin/b\.dll')" = "$(tried_twice "$b_forms" compressed)"
check "a truncated copy falls to the file itself" test "$(roads '/c\.dat')" = "compressed compressed files "
check "a delta past the window cap is not fetched" test "$(roads '/d\.dat')" = "compressed "
check "the install is still release 2, byte for byte" installed_is_release2 "$install"
check "no partial download is left" test -z "$(find "$install/temp" -name '*.zqdownload*' -o -name '*.zqdelta' -o -name '*.zqzst' -o -name '*.zqpatch' 2>/dev/null)"
check "the log names the corrupt delta's digest, expected and got" \
  logged "$install" "proof: $base/deltas/2/bin/b\.dll[^ ]*: SHA-256 is [0-9a-f]{64}, the manifest says [0-9a-f]{64}"
check "the log gives up the truncated copy after its retry" \
  logged "$install" "download $base/compressed/2/c\.dat\.zst: attempt 2, .*; given up"
check "the log names the road each broken file took" \
  bash -c "grep -q 'file c.dat: whole, ' '$install/temp/zenquilostudent.log' && grep -q 'file a.dll: compressed, ' '$install/temp/zenquilostudent.log'"
# A check whose server cannot be reached says so, with libcurl's words.
new_port
zq_point_at_server "$install" "http://127.0.0.1:${ports[-1]}/soft/package.json"
pid=$(zq_run "$install")
pids+=("$pid")
check "the log says why the manifest did not come" zq_wait 30 \
  logged "$install" "check: http://127\.0\.0\.1:${ports[-1]}/soft/package\.json: no manifest, libcurl 7 \(Couldn't connect to server\)"
zq_end_program "$pid"

# --- 3. The keyed client and a delta the signed manifest does not name -----------
publish "$r1" 1 "$work/out1s" --sign-key "$work/keys/release.key"
publish "$r2" 2 "$work/out2s" --previous "$work/out1s/package.json" --sign-key "$work/keys/release.key"
publish "$r2" 2 "$work/out2-other" --previous "$work/out1s/package.json" --zstd-level 3
a_delta=$(cd "$work/out2s" && find deltas -name 'a.dll*.zst' -type f)
check "the other delta is other bytes" bash -c "! cmp -s '$work/out2s/$a_delta' '$work/out2-other/$a_delta'"
cp "$work/out2-other/$a_delta" "$work/out2s/$a_delta"
# A patch of a.dll, if its build gave one, is damaged too: it would go first.
a_forms=$(forms_of a.dll "$work/out2s/package.json")
for a_patch in $(find "$work/out2s/deltas" -name 'a.dll*.zqpatch' -type f); do
  printf 'damaged' | dd of="$a_patch" bs=1 seek=70 conv=notrunc status=none
done
ln -sfn "$work/out2s" "$work/current"
install=$work/install-keyed
zq_install_release "$install" "$ZQ_BUILD" "$r1" "$work/out1s" "$base/soft/package.json"
cp "$ZQ_BUILD/fixtures/signed/ZenquiloStudent.exe" "$install/ZenquiloStudent.exe"
log_lines=$(wc -l <"$run/access.log")
check "the signed release 2 is staged and installed" install_and_finish "$install"
fetched=$(fetched_since "$log_lines")
check "the unnamed delta is refused for the compressed copy" test "$(roads '/a\.dll')" = "$(tried_twice "$a_forms" compressed)"
check "the named deltas are taken" test "$(roads '/bin/b\.dll')$(roads '/c\.dat')" = "deltas deltas "
check "the install is release 2, byte for byte" installed_is_release2 "$install"

# --- 4. A relinked program: its patch, then a damaged one -------------------------
# Code-like bytes whose call targets all move by SHIFT after an early insertion,
# as the unit tests make them.
relinked() {  # SHIFT TARGET
  python3 - "$@" <<'PY'
import sys
shift, out, state, data = int(sys.argv[1]), sys.argv[2], 7, bytearray()
for i in range(6000):
    state = (state * 1103515245 + 12345) & 0xFFFFFFFF
    address = 0x401000 + (state >> 12) % 0x40000 + (shift if i > 300 else 0)
    data += bytes([0xE8]) + address.to_bytes(4, 'little')
    data += bytes((((state >> b) ^ (i * 31 + b)) & 0xFF) for b in range(11))
    if i == 300:
        data += b'\x90' * shift
open(out, 'wb').write(data)
PY
}
p1=$work/relink1
p2=$work/relink2
cp -r "$r1" "$p1"
cp -r "$r1" "$p2"
relinked 0 "$p1/e.dll"
relinked 6 "$p2/e.dll"
publish "$p1" 1 "$work/outp1"
publish "$p2" 2 "$work/outp2" --previous "$work/outp1/package.json"
# The patch is listed under "patches" or, of a later version, "labelled_patches".
check "the relinked program's release names a patch beside its zstd delta" \
  test "$(grep -F '"name": "e.dll"' "$work/outp2/package.json" | grep -o '"deltas": \[{\|"\(labelled_\)\?patches": \[{' | wc -l)" = 2
relinked_is_release2() { cmp -s "$1/e.dll" "$p2/e.dll" && cmp -s "$1/a.dll" "$p2/a.dll"; }
install=$work/install-patch
serve_and_update "$work/outp2" "$install" "$p1" "$work/outp1" "the relinked release"
check "only the patch is fetched" test "$(fetched_kinds)" = "zqpatch "
check "the install is the relinked release, byte for byte" relinked_is_release2 "$install"

install=$work/install-patch-bad
update_over_damaged_patch "$work/outp2" e.dll 70 "$install" "$p1" "$work/outp1" "the relinked release"
check "the install is still the relinked release, byte for byte" relinked_is_release2 "$install"
check "no partial patch is left" test -z "$(find "$install/temp" -name '*.zqpatch' 2>/dev/null)"

# --- 5. A program image rebuilt: its labelled patch -------------------------------
# Many small functions calling each other and a table of pointers to them; the
# second build grows an early one, so every later function and pointer moves.
program_source() {  # GROWN
  python3 - "$1" <<'PY'
import sys
grown = int(sys.argv[1])
print('#include <stdio.h>')
print('__attribute__((noinline)) int f0(int x) { return x * 7 + 1; }')
for i in range(1, 300):
    extra = ''.join(f' y = y * 31 + f0(y ^ {g});' for g in range(grown)) if i == 3 else ''
    print(f'__attribute__((noinline)) int f{i}(int x) {{ int y = f{i - 1}(x + {i});{extra}'
          f' if (y & 1) y += f{i // 2}(y); return y ^ {i * 13}; }}')
print('int (*const table[])(int) = {' + ', '.join(f'f{i}' for i in range(0, 300, 3)) + '};')
print('int main(int argc, char** argv) { int s = f299(argc);'
      ' for (int i = 0; i < 100; ++i) s += table[i](s); printf("%d\\n", s); return 0; }')
PY
}
compiler=x86_64-w64-mingw32-gcc
[ "${ZQ_ARCH:-x64}" = x86 ] && compiler=i686-w64-mingw32-gcc
l1=$work/labels1
l2=$work/labels2
cp -r "$r1" "$l1"
cp -r "$r1" "$l2"
program_source 0 >"$work/labels1.c"
program_source 3 >"$work/labels2.c"
"$compiler" -O1 -fno-inline -o "$l1/f.exe" "$work/labels1.c"
"$compiler" -O1 -fno-inline -o "$l2/f.exe" "$work/labels2.c"
publish "$l1" 1 "$work/outl1"
publish "$l2" 2 "$work/outl2" --previous "$work/outl1/package.json"
check "the rebuilt program's release names a labelled patch" \
  test "$(grep -F '"name": "f.exe"' "$work/outl2/package.json" | grep -c '"labelled_patches": \[{')" = 1
install=$work/install-labels
serve_and_update "$work/outl2" "$install" "$l1" "$work/outl1" "the rebuilt release"
check "only the labelled patch is fetched" test "$(fetched_kinds)" = "zqpatch "
check "the install is the rebuilt program, byte for byte" cmp -s "$install/f.exe" "$l2/f.exe"

install=$work/install-labels-bad
update_over_damaged_patch "$work/outl2" f.exe 90 "$install" "$l1" "$work/outl1" "the rebuilt release"
check "the install is still the rebuilt program, byte for byte" cmp -s "$install/f.exe" "$l2/f.exe"

zq_report "delta journey"
