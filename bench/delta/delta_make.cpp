// Benchmark helper, not a test: the publisher's two smaller forms of one file
// pair, as zq_publish makes them (CompressForServing, MakeDelta, at
// kPublishLevel). scripts/delta-bench.sh compares them with bsdiff and xdelta3.
//
//   delta_make OLD NEW COPY_OUT DELTA_OUT [PATCH_OUT]
//     prints "<copy bytes> <copy seconds> <delta bytes> <delta seconds> <delta window log>",
//     and with PATCH_OUT " <patch bytes> <patch seconds> <peak bytes>": the
//     patch of approximate matches (MakePatch) and the process's peak memory.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "bench/delta/peak_memory.h"
#include "publisher/patch_make.h"
#include "publisher/zstd_encode.h"

namespace {

bool ReadAll(const char* path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.good() || in.eof();
}

bool WriteAll(const char* path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: delta_make OLD NEW COPY_OUT DELTA_OUT [PATCH_OUT]\n");
    return 2;
  }
  std::string base, target;
  if (!ReadAll(argv[1], base) || !ReadAll(argv[2], target)) {
    std::fprintf(stderr, "delta_make: cannot read the pair\n");
    return 2;
  }
  std::string copy, delta;
  int copyWindow = 0, deltaWindow = 0;
  auto start = std::chrono::steady_clock::now();
  if (!CompressForServing(target, kPublishLevel, copy, copyWindow)) {
    std::fprintf(stderr, "delta_make: compression failed\n");
    return 1;
  }
  const double copySeconds = SecondsSince(start);
  start = std::chrono::steady_clock::now();
  if (!MakeDelta(base, target, kPublishLevel, delta, deltaWindow)) {
    std::fprintf(stderr, "delta_make: no delta (a file past the client's window, or zstd failed)\n");
    return 1;
  }
  const double deltaSeconds = SecondsSince(start);
  if (!WriteAll(argv[3], copy) || !WriteAll(argv[4], delta)) {
    std::fprintf(stderr, "delta_make: cannot write the results\n");
    return 2;
  }
  std::printf("%zu %.3f %zu %.3f %d", copy.size(), copySeconds, delta.size(), deltaSeconds, deltaWindow);
  if (argc == 6) {
    std::string patch;
    start = std::chrono::steady_clock::now();
    if (!MakePatch(base, target, kPublishLevel, patch) || !WriteAll(argv[5], patch)) {
      std::fprintf(stderr, "delta_make: no patch\n");
      return 1;
    }
    std::printf(" %zu %.3f %lld", patch.size(), SecondsSince(start), PeakMemoryBytes());
  }
  std::printf("\n");
  return 0;
}
