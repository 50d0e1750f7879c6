// Benchmark helper, not a test: the client's ApplyDeltaFile on one pair, as
// the program of this platform has it. scripts/delta-bench.sh runs it
// natively and under Wine on the same files.
//
//   delta_apply BASE DELTA OUT [runs [patch]]
//     with "patch", DELTA is a patch of approximate matches (ApplyPatchFile);
//     prints "<median seconds> <peak bytes before> <peak bytes after>"
//
// The peak before the first apply is the process's own start-up (large under
// Wine); the apply's cost is the difference.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/delta/peak_memory.h"
#include "update/delta/patch_apply.h"
#include "update/delta/zstd_decode.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: delta_apply BASE DELTA OUT [runs [patch]]\n");
    return 2;
  }
  const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  const bool patch = argc > 5 && std::string(argv[5]) == "patch";
  const long long before = PeakMemoryBytes();
  std::vector<double> seconds;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    // No cap beyond the client's own: the benchmark's files are what a release could serve.
    const DecodeResult result = patch ? ApplyPatchFile(argv[1], argv[2], argv[3], 1LL << 40)
                                      : ApplyDeltaFile(argv[1], argv[2], argv[3], 1LL << 40);
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (result != DecodeResult::kOk) {
      std::fprintf(stderr, "delta_apply: %s\n", DecodeResultText(result));
      return 1;
    }
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("%.4f %lld %lld\n", seconds[seconds.size() / 2], before, PeakMemoryBytes());
  return 0;
}
