// Benchmark helper, not a test: CMD5Checksum::HashFile's throughput as the
// program of one architecture has it, on a file given by the caller (from the
// page cache after the first pass). scripts/bench.sh runs it for each Windows
// build under Wine beside md5sum on the same file.
//
//   md5_rate FILE [runs]    prints "<median MB/s> <digest>" (10^6 bytes)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/narrow_file.h"
#include "update/proof/md5_checksum.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: md5_rate FILE [runs]\n");
    return 2;
  }
  const std::string path = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const long long size = NarrowFileSize(path);
  if (size <= 0) {
    std::fprintf(stderr, "md5_rate: cannot read %s\n", path.c_str());
    return 2;
  }
  std::string digest = CMD5Checksum::HashFile(path);  // warms the cache
  std::vector<double> rates;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    digest = CMD5Checksum::HashFile(path);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rates.push_back(static_cast<double>(size) / 1e6 / seconds);
  }
  std::sort(rates.begin(), rates.end());
  std::printf("%.0f %s\n", rates[rates.size() / 2], digest.c_str());
  return digest.size() == 32 ? 0 : 1;
}
