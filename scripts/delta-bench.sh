#!/usr/bin/env bash
# The delta road on real program builds: for each pair of an old and a new
# file, the full size, the compressed copy (CompressForServing), our zstd
# delta (MakeDelta) and our patch (MakePatch) beside bsdiff's, xdelta3's and
# zstd --patch-from's of the same pair, and the smaller of our two, which the
# publisher lists for clients that read patches; each form's making time, and
# its apply time and peak memory natively and under Wine
# (bench/delta/delta_apply.exe, the client's decoding code). Then the update
# road's bytes against today's whole files, and one line per goal.
#
# The corpus is made once and reused, under $ZQ_CACHE/delta-corpus:
#   ZenquiloStudent.exe and zq_publish.exe at two commits of this repository
#     ($old_commit and $new_commit below), x86-64 and x86;
#   curl.exe as scripts/build-deps.sh builds it, and from the same Debian
#     source with cookies switched off, x86-64 and x86;
#   curl.exe of the two newest Debian releases of curl that the machine's
#     suites list, built alike, x86-64 and x86 (the versions are recorded in
#     curl-release/versions.txt: a later update moves the suites on);
#   two of Wine's large PE DLLs as one file, and a copy with a few hundred
#     scattered small edits made by a seeded script.
# The first run builds for about 15 minutes on 2 cores; later runs take a few.
#
#   scripts/delta-bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# An ordinary release step: the finalisation's rework (28 files, no new
# library, the same dependency builds), one merge after the other.
old_commit=490ab72
new_commit=3a33609
# The step for curl: one more feature off, from the same source.
curl_extra_option=-DCURL_DISABLE_COOKIES=ON
# Time to download a compressed copy, against which an apply is judged.
link_mb_per_s=10

log() { printf '[delta-bench] %s\n' "$*" >&2; }

bash scripts/install-packages.sh
. scripts/wine-env.sh
. scripts/debian-sources.sh
corpus=$ZQ_CACHE/delta-corpus
mkdir -p "$corpus"
# The options build-deps.sh builds curl with, read from it so that every curl.exe here is built as it builds one.
eval "$(sed -n '/^curl_options=(/,/^)/p' scripts/build-deps.sh)"

# ZenquiloStudent.exe and zq_publish.exe of one commit, both architectures,
# built from an export of that commit beside the corpus (no worktree is left
# registered in the repository if a run dies half-way).
build_programs() {
  local commit=$1 out=$corpus/programs/$1
  [ -f "$out/.complete" ] && return 0
  log "building ZenquiloStudent.exe and zq_publish.exe at $commit"
  local src=$corpus/.src-$commit
  rm -rf "$src" "$out"
  mkdir -p "$src"
  git archive "$commit" | tar -x -C "$src"
  local preset
  for preset in windows windows-x86; do
    (cd "$src" && cmake --preset "$preset" >/dev/null &&
      cmake --build --preset "$preset" --target ZenquiloStudent zq_publish -j 2 >/dev/null)
    mkdir -p "$out/$preset"
    # zq_publish.exe's folder in the build tree moved with the sources over time.
    local publish
    publish=$(find "$src/build/$preset" -name zq_publish.exe -print -quit)
    [ -n "$publish" ] || { log "no zq_publish.exe built at $commit"; exit 1; }
    cp "$src/build/$preset/ZenquiloStudent.exe" "$publish" "$out/$preset/"
  done
  rm -rf "$src"
  touch "$out/.complete"
}

# Debian's curl sources through a private apt state as build-deps.sh fetches
# them (the machine's own stays untouched): prepare_apt DIR once, then
# fetch_curl_sources DIR VERSION... and unpack_curl DIR VERSION DEST.
prepare_apt() {
  zq_private_apt "$1/apt" || exit 1
  apt-get "${zq_apt_options[@]}" update >/dev/null
}
fetch_curl_sources() {
  local dir=$1
  shift
  zq_fetch_sources "$dir" curl "$@" || exit 1
}
unpack_curl() {
  local dir=$1 version=$2 dest=$3
  # Its warning that the .dsc's signature cannot be checked is noise: apt checked the index.
  dpkg-source -x "$dir/curl_${version#*:}.dsc" "$dest" >/dev/null 2>&1 ||
    { log "cannot unpack curl $version"; exit 1; }
}

# build_curl SOURCE BUILD ARCH [OPTION...]: curl.exe with the very options
# build-deps.sh builds with, and any more given.
build_curl() {
  local source=$1 build=$2 arch=$3 toolchain
  shift 3
  case $arch in
    x86_64) toolchain=$root/cmake/mingw-w64-x86_64.cmake ;;
    x86) toolchain=$root/cmake/mingw-w64-i686.cmake ;;
  esac
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${curl_options[@]}" "$@" >/dev/null
  cmake --build "$build" --target curl -j 2 >/dev/null
}

# curl.exe as build-deps.sh builds it (old), and with one more option (new).
build_curls() {
  local out=$corpus/curl
  [ -f "$out/.complete" ] && return 0
  log "building curl.exe a second time with $curl_extra_option"
  local work=$corpus/.curl-build version
  rm -rf "$work" "$out"
  mkdir -p "$work"
  version=$(dpkg-query -W -f='${source:Version}' libcurl4-openssl-dev)
  prepare_apt "$work"
  fetch_curl_sources "$work" "$version"
  unpack_curl "$work" "$version" "$work/curl"
  local arch prefix
  for arch in x86_64 x86; do
    prefix=$(bash scripts/build-deps.sh --arch "$arch")
    build_curl "$work/curl" "$work/build-$arch" "$arch" "$curl_extra_option"
    mkdir -p "$out/$arch"
    cp "$prefix/bin/curl.exe" "$out/$arch/curl-old.exe"
    cp "$work/build-$arch/src/curl.exe" "$out/$arch/curl-new.exe"
  done
  rm -rf "$work"
  touch "$out/.complete"
}

# curl.exe of the two newest Debian releases of curl that the machine's
# suites list (bookworm's point release and bookworm-security's update, say):
# one upstream program a batch of fixes apart, both built here alike. The
# versions are found when the corpus is made and kept beside it, since a
# later update moves the suites on.
build_curl_release() {
  local out=$corpus/curl-release
  [ -f "$out/.complete" ] && return 0
  local work=$corpus/.curl-release-build old old_suite new new_suite
  rm -rf "$work" "$out"
  mkdir -p "$work"
  prepare_apt "$work"
  read -r old old_suite new new_suite < <(zq_release_step curl || echo)
  [ -n "$new" ] || { log "no release step of curl to build"; exit 1; }
  log "building curl.exe of curl $old ($old_suite) and $new ($new_suite)"
  fetch_curl_sources "$work" "$new" "$old"
  unpack_curl "$work" "$old" "$work/curl-old"
  unpack_curl "$work" "$new" "$work/curl-new"
  local arch side
  for arch in x86_64 x86; do
    mkdir -p "$out/$arch"
    for side in old new; do
      build_curl "$work/curl-$side" "$work/build-$side-$arch" "$arch"
      cp "$work/build-$side-$arch/src/curl.exe" "$out/$arch/curl-$side.exe"
    done
  done
  printf '%s (%s) to %s (%s)\n' "$old" "$old_suite" "$new" "$new_suite" >"$out/versions.txt"
  rm -rf "$work"
  touch "$out/.complete"
}

# mshtml.dll and wined3d.dll, 48 MiB of real code and data: large enough to
# need long-distance matching, small enough for the client's delta window.
make_large_pair() {
  local out=$corpus/large
  [ -f "$out/.complete" ] && return 0
  log "making the large pair"
  rm -rf "$out"
  mkdir -p "$out"
  local dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
  cat "$dlls/mshtml.dll" "$dlls/wined3d.dll" >"$out/old.bin"
  # 300 edits at seeded random places: overwrites, insertions and deletions
  # of 1 to 64 bytes, as a rebuilt program's changed code and tables would be.
  python3 - "$out/old.bin" "$out/new.bin" <<'EOF'
import random, sys
data = bytearray(open(sys.argv[1], "rb").read())
rng = random.Random(20261208)
for offset in sorted((rng.randrange(len(data)) for _ in range(300)), reverse=True):
    n = rng.randint(1, 64)
    kind = rng.choice(("overwrite", "insert", "delete"))
    if kind == "overwrite":
        data[offset:offset + n] = rng.randbytes(n)
    elif kind == "insert":
        data[offset:offset] = rng.randbytes(n)
    else:
        del data[offset:offset + n]
open(sys.argv[2], "wb").write(data)
EOF
  touch "$out/.complete"
}

build_programs "$old_commit"
build_programs "$new_commit"
build_curls
build_curl_release
make_large_pair

log "building the measuring programs"
cmake --preset native >/dev/null
cmake --build --preset native --target delta_make delta_apply -j 2 >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target delta_apply -j 2 >/dev/null
native_make=$root/build/native/bench/delta/delta_make
native_apply=$root/build/native/bench/delta/delta_apply
wine_apply=$root/build/windows/bench/delta/delta_apply.exe

# name, old file, new file
pairs=()
for preset in windows windows-x86; do
  arch=x86-64
  [ "$preset" = windows-x86 ] && arch=x86
  for program in ZenquiloStudent.exe zq_publish.exe; do
    pairs+=("$program $arch" "$corpus/programs/$old_commit/$preset/$program" "$corpus/programs/$new_commit/$preset/$program")
  done
done
for arch in x86_64 x86; do
  label=x86-64
  [ "$arch" = x86 ] && label=x86
  pairs+=("curl.exe $label" "$corpus/curl/$arch/curl-old.exe" "$corpus/curl/$arch/curl-new.exe")
  pairs+=("curl.exe release $label" "$corpus/curl-release/$arch/curl-old.exe" "$corpus/curl-release/$arch/curl-new.exe")
done
pairs+=("Wine DLLs, 300 edits" "$corpus/large/old.bin" "$corpus/large/new.bin")

zq_probe_x86
work=$(mktemp -d /tmp/zq-delta-bench.XXXXXX)
trap 'rm -rf "$work"; zq_wine_stop' EXIT
zq_wine_start
wine_path() { printf 'Z:%s' "${1//\//\\}"; }

mib() { awk -v b="$1" 'BEGIN {printf "%.2f", b / 1048576}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
fraction() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.4f", a / b}'; }
seconds_per_mb() { awk -v s="$1" -v b="$2" 'BEGIN {printf "%.2f", s / (b / 1e6)}'; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {printf "%.2f", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2}'; }
is_program() { [ "${1#Wine}" = "$1" ]; }
# Keeps the larger of a running worst and a new value: worst_<what> and its pair.
keep_worst() {
  local what=$1 value=$2 pair=$3 worst_name=worst_$1
  if awk -v a="$value" -v b="${!worst_name}" 'BEGIN {exit !(a > b)}'; then
    printf -v "worst_$what" '%s' "$value"
    printf -v "worst_${what}_pair" '%s' "$pair"
  fi
}

# One apply of a form into $work/apply.txt: "<median seconds> <peak before>
# <peak after>", the output checked against the new file. form: zstd or
# patch; where: native or wine.
apply_form() {
  local where=$1 form=$2 old=$3 input=$4 new=$5 out=$work/out.$1
  local mode=()
  [ "$form" = patch ] && mode=(patch)
  if [ "$where" = native ]; then
    "$native_apply" "$old" "$input" "$out" 3 "${mode[@]}" >"$work/apply.txt"
  else
    # Read through a file, not a pipe: Wine's services may hold a pipe open.
    scripts/wine-run.sh "$wine_apply" "$(wine_path "$old")" "$(wine_path "$input")" "$(wine_path "$out")" 3 \
      "${mode[@]}" >"$work/apply.txt"
  fi
  cmp -s "$new" "$out" || { log "$name: the $form apply ($where) did not rebuild the new file"; exit 1; }
}

# Every figure of every pair first, the tables after: the sizes, the zstd
# delta's times and memory, the patch's.
sizes=() zstd_rows=() patch_rows=()
total_full=0 total_copy=0 total_delta=0 total_best=0 programs_full=0 programs_delta=0 programs_best=0
worst_bsdiff=0 worst_bsdiff_pair="" worst_best=0 worst_best_pair="" worst_apply=0 worst_apply_pair=""
worst_patch_apply=0 worst_patch_apply_pair=""
best_ratios=() program_best=() program_bsdiff=()
for ((i = 0; i < ${#pairs[@]}; i += 3)); do
  name=${pairs[i]} old=${pairs[i + 1]} new=${pairs[i + 2]}
  log "measuring $name"
  full=$(stat -c %s "$new")
  # Through files, not process substitution, so that a failing maker stops the run.
  "$native_make" "$old" "$new" "$work/copy.zst" "$work/delta.zst" >"$work/make.txt"
  read -r copy_bytes _ delta_bytes make_s _ <"$work/make.txt"
  "$native_make" --patch "$old" "$new" "$work/patch.zqp" >"$work/make.txt"
  read -r patch_bytes patch_make_s patch_make_peak <"$work/make.txt"
  bsdiff "$old" "$new" "$work/patch.bsdiff"
  xdelta3 -9 -e -f -s "$old" "$new" "$work/patch.xdelta3"
  # Its advice on tuning goes to stderr on every run: shown only when it fails.
  zstd -q -f -19 --single-thread --patch-from="$old" "$new" -o "$work/patch.zstd" 2>"$work/zstd.txt" ||
    { cat "$work/zstd.txt" >&2; exit 1; }
  bsdiff_bytes=$(stat -c %s "$work/patch.bsdiff")
  xdelta_bytes=$(stat -c %s "$work/patch.xdelta3")
  patch_from_bytes=$(stat -c %s "$work/patch.zstd")
  best=$((delta_bytes < patch_bytes ? delta_bytes : patch_bytes))
  best_ratio=$(ratio "$best" "$bsdiff_bytes")
  sizes+=("$(printf '%-26s %10d %10d %10d %10d %10d %10d %10d %10d %7s %7s' \
    "$name" "$full" "$copy_bytes" "$delta_bytes" "$patch_bytes" "$best" "$bsdiff_bytes" "$xdelta_bytes" \
    "$patch_from_bytes" "$(ratio "$delta_bytes" "$bsdiff_bytes")" "$best_ratio")")

  apply_form native zstd "$old" "$work/delta.zst" "$new"
  read -r native_s _ native_peak <"$work/apply.txt"
  apply_form wine zstd "$old" "$work/delta.zst" "$new"
  read -r wine_s wine_start_peak wine_peak <"$work/apply.txt"
  apply_form native patch "$old" "$work/patch.zqp" "$new"
  read -r patch_native_s _ patch_native_peak <"$work/apply.txt"
  apply_form wine patch "$old" "$work/patch.zqp" "$new"
  read -r patch_wine_s patch_wine_start_peak patch_wine_peak <"$work/apply.txt"
  download_s=$(awk -v b="$copy_bytes" -v r="$link_mb_per_s" 'BEGIN {printf "%.3f", b / (r * 1e6)}')
  zstd_rows+=("$(printf '%-26s %7s %8s %8s %9s %9s %9s' "$name" "$make_s" "$native_s" "$wine_s" "$download_s" \
    "$(mib "$native_peak")" "$(mib "$wine_peak") ($(mib "$wine_start_peak"))")")
  patch_rows+=("$(printf '%-26s %7s %7s %9s %8s %8s %9s %9s %9s' "$name" "$patch_make_s" \
    "$(seconds_per_mb "$patch_make_s" "$full")" "$(mib "$patch_make_peak")" "$patch_native_s" "$patch_wine_s" \
    "$download_s" "$(mib "$patch_native_peak")" "$(mib "$patch_wine_peak") ($(mib "$patch_wine_start_peak"))")")

  total_full=$((total_full + full))
  total_copy=$((total_copy + copy_bytes))
  total_delta=$((total_delta + delta_bytes))
  total_best=$((total_best + best))
  keep_worst best "$best_ratio" "$name"
  if is_program "$name"; then
    programs_full=$((programs_full + full))
    programs_delta=$((programs_delta + delta_bytes))
    programs_best=$((programs_best + best))
    keep_worst bsdiff "$(ratio "$delta_bytes" "$bsdiff_bytes")" "$name"
    best_ratios+=("$best_ratio")
    program_best+=("$best")
    program_bsdiff+=("$bsdiff_bytes")
  fi
  keep_worst apply "$(awk -v a="$wine_s" -v b="$download_s" 'BEGIN {printf "%.3f", a / b}')" "$name"
  keep_worst patch_apply "$(awk -v a="$patch_wine_s" -v b="$download_s" 'BEGIN {printf "%.3f", a / b}')" "$name"
done

echo "sizes in bytes; best: the smaller of our zstd delta and our patch, as the publisher lists them"
printf '%-26s %10s %10s %10s %10s %10s %10s %10s %10s %7s %7s\n' \
  pair full zstd-copy "zstd delta" "our patch" "our best" bsdiff xdelta3 "zstd p-f" "zd/bs" "best/bs"
printf '%s\n' "${sizes[@]}"
echo "(xdelta3 -9; zstd p-f: zstd -19 --single-thread --patch-from, the zstd command's own delta;"
echo " curl.exe release: Debian's curl $(cat "$corpus/curl-release/versions.txt"))"

echo
echo "the zstd delta: making and applying (seconds; peak memory in MiB)"
printf '%-26s %7s %8s %8s %9s %9s %9s\n' pair make-s apply-s apply-s "copy@10MB" "peak" "peak"
printf '%-26s %7s %8s %8s %9s %9s %9s\n' "" "" native Wine "s" native Wine
printf '%s\n' "${zstd_rows[@]}"

echo
echo "the patch: making (natively, the patch alone) and applying (seconds; peak memory in MiB)"
printf '%-26s %7s %7s %9s %8s %8s %9s %9s %9s\n' pair make-s "s/MB" "make peak" apply-s apply-s "copy@10MB" peak peak
printf '%-26s %7s %7s %9s %8s %8s %9s %9s %9s\n' "" "" "of new" native native Wine "s" native Wine
printf '%s\n' "${patch_rows[@]}"
echo "(peak under Wine: the whole process, its start-up alone in brackets; make peak: the process holding"
echo " the pair and making the patch; apply times are medians of 3)"
if [ "$ZQ_X86_RUNS" != yes ]; then
  echo "(x86 pairs applied by the x86-64 program: 32-bit programs do not run here — $ZQ_X86_WHY)"
fi

echo
printf 'road, all pairs: deltas %d bytes against whole files %d (compressed copies %d): %s of today\n' \
  "$total_delta" "$total_full" "$total_copy" "$(fraction "$total_delta" "$total_full")"
printf 'road, all pairs, best forms: %d bytes: %s of today\n' "$total_best" "$(fraction "$total_best" "$total_full")"
printf 'road, programs only: deltas %d bytes, best forms %d, against whole files %d: %s and %s of today\n' \
  "$programs_delta" "$programs_best" "$programs_full" "$(fraction "$programs_delta" "$programs_full")" \
  "$(fraction "$programs_best" "$programs_full")"

# The programs as built carry symbol tables and the DWARF of the static
# libraries, whose addresses shift with every change: the same pairs without
# them show how much of bsdiff's lead lies there.
echo
echo "the program pairs stripped (x86-64 strip / i686 strip), sizes in bytes:"
printf '   %-26s %10s %10s %10s %10s %7s %7s\n' pair full "zstd delta" "our patch" bsdiff "zd/bs" "best/bs"
for ((i = 0; i < ${#pairs[@]}; i += 3)); do
  name=${pairs[i]}
  is_program "$name" || continue
  strip=x86_64-w64-mingw32-strip
  [ "${name% x86}" != "$name" ] && strip=i686-w64-mingw32-strip
  "$strip" -o "$work/old.stripped" "${pairs[i + 1]}"
  "$strip" -o "$work/new.stripped" "${pairs[i + 2]}"
  "$native_make" "$work/old.stripped" "$work/new.stripped" "$work/copy.zst" "$work/delta.zst" "$work/patch.zqp" \
    >"$work/make.txt"
  read -r _ _ delta_bytes _ _ patch_bytes _ <"$work/make.txt"
  bsdiff "$work/old.stripped" "$work/new.stripped" "$work/patch.bsdiff"
  bsdiff_bytes=$(stat -c %s "$work/patch.bsdiff")
  best=$((delta_bytes < patch_bytes ? delta_bytes : patch_bytes))
  printf '   %-26s %10d %10d %10d %10d %7s %7s\n' "$name" "$(stat -c %s "$work/new.stripped")" "$delta_bytes" \
    "$patch_bytes" "$bsdiff_bytes" "$(ratio "$delta_bytes" "$bsdiff_bytes")" "$(ratio "$best" "$bsdiff_bytes")"
done

verdict() { if awk "BEGIN {exit !($1)}"; then echo met; else echo "not met"; fi; }
road=$(fraction "$total_delta" "$total_full")
median_ratio=$(median "${best_ratios[@]}")
median_sizes=$(ratio "$(median "${program_best[@]}")" "$(median "${program_bsdiff[@]}")")
echo
echo "goal: road bytes at most 1/10 of today's: $(verdict "$road <= 0.1") ($road)"
echo "goal: our zstd delta at most 2x bsdiff's on programs: $(verdict "$worst_bsdiff <= 2") (worst $worst_bsdiff, $worst_bsdiff_pair)"
echo "goal: our best form at most bsdiff's on every pair: $(verdict "$worst_best <= 1") (worst $worst_best, $worst_best_pair)"
echo "goal: our best form at most 0.7x bsdiff's on the program pairs, median: $(verdict "$median_ratio <= 0.7")" \
  "(median of best/bsdiff $median_ratio; median size against bsdiff's median size $median_sizes)"
echo "goal: apply under Wine faster than the copy's download at $link_mb_per_s MB/s:" \
  "zstd delta $(verdict "$worst_apply < 1") (worst apply/download $worst_apply, $worst_apply_pair);" \
  "patch $(verdict "$worst_patch_apply < 1") (worst $worst_patch_apply, $worst_patch_apply_pair)"
