#!/usr/bin/env bash
# Every benchmark, for both Windows architectures, in one run; each figure
# beside its own peer measured in the same run:
#   MD5        HashFile in each build (x86-64, x86) under Wine, against md5sum
#              on the same 256 MiB file, interleaved, medians of 5;
#   update     update_bench.exe of each build against curl.exe of the same
#              architecture (built from the same curl sources);
#   network    network_bench.exe of each build (scripts/network-bench.sh):
#              the large release from nginx over http and https, each
#              directly and through squid;
#   start-up   startup_bench.exe of each build against a trivial Win32
#              program of the same architecture.
# Builds both presets first. Takes about 10 minutes on a 2-core machine.
# Where 32-bit programs cannot run (scripts/wine-env.sh probes it), only the
# x86-64 figures are measured, and the run says why.
#
#   scripts/bench.sh [--quick]   (--quick: fewer runs, for a look)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

runs=5
startup_runs=9
if [ "${1:-}" = "--quick" ]; then
  runs=2
  startup_runs=3
fi

bash scripts/install-packages.sh
for preset in windows windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done

. scripts/wine-env.sh
zq_probe_x86
presets=(windows)
if [ "$ZQ_X86_RUNS" = yes ]; then
  presets+=(windows-x86)
else
  echo "x86 figures: not measured — $ZQ_X86_WHY"
fi
trap zq_wine_stop EXIT
zq_wine_start

work=$(mktemp -d /tmp/zq-bench.XXXXXX)
trap 'rm -rf "$work"; zq_wine_stop' EXIT
file=$work/md5.bin
# The same file as Wine sees it: drive Z: is the Linux root.
wine_file="Z:${file//\//\\}"
head -c $((256 * 1024 * 1024)) /dev/urandom >"$file"
md5sum "$file" >/dev/null  # into the page cache

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
# md5sum's throughput in MB/s (10^6 bytes), whole process, one run.
md5sum_rate() {
  local start end
  start=$(date +%s.%N)
  md5sum "$1" >/dev/null
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$(stat -c %s "$1")" 'BEGIN {printf "%.0f\n", n / 1e6 / (e - s)}'
}

echo "== MD5 throughput, MB/s (medians of $runs, interleaved)"
declare -A rates
for i in $(seq 1 "$runs"); do
  rates[md5sum]+="$(md5sum_rate "$file") "
  for preset in "${presets[@]}"; do
    rates[$preset]+="$(scripts/wine-run.sh "build/$preset/bench/md5_rate.exe" "$wine_file" 1 | awk '{print $1}') "
  done
done
peer=$(printf '%s\n' ${rates[md5sum]} | median)
printf '   %-22s %6s MB/s\n' "md5sum" "$peer"
for preset in "${presets[@]}"; do
  ours=$(printf '%s\n' ${rates[$preset]} | median)
  printf '   %-22s %6s MB/s   ours/md5sum %s\n' "HashFile ($preset)" "$ours" \
    "$(awk -v a="$ours" -v b="$peer" 'BEGIN {printf "%.2f", a / b}')"
done

for preset in "${presets[@]}"; do
  echo
  echo "== incremental update against curl.exe, $preset"
  scripts/wine-run.sh "build/$preset/bench/update_bench.exe" | sed 's/^/   /'
done

bash scripts/network-bench.sh "${presets[@]}"

for preset in "${presets[@]}"; do
  echo
  echo "== start-up, $preset"
  scripts/wine-run.sh "build/$preset/startup_bench.exe" --runs "$startup_runs" | sed 's/^/   /'
done
