// Benchmark helper, not a test: the publisher's smaller forms of one file
// pair, as zq_publish makes them (CompressForServing, MakeDelta, MakePatch,
// at kPublishLevel). scripts/delta-bench.sh compares them with bsdiff and xdelta3.
//
//   delta_make OLD NEW COPY_OUT DELTA_OUT [PATCH_OUT]
//     prints "<copy bytes> <copy seconds> <delta bytes> <delta seconds> <delta window log>",
//     and with PATCH_OUT " <patch bytes> <patch seconds> <peak bytes>": the
//     patch of approximate matches (MakePatch) and the process's peak memory.
//   delta_make --patch OLD NEW PATCH_OUT
//     prints "<patch bytes> <patch seconds> <peak bytes>": the patch alone, so
//     that the peak is what making it costs beside the pair held in memory, as
//     the publisher holds it.

#include <chrono>
#include <cstdio>
#include <cstring>
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

// Prints " <patch bytes> <patch seconds> <peak bytes>" (without the leading
// space when first); false with a message when there is no patch.
bool PrintPatch(const std::string& base, const std::string& target, const char* out, bool first) {
  std::string patch;
  const auto start = std::chrono::steady_clock::now();
  if (!MakePatch(base, target, kPublishLevel, patch) || !WriteAll(out, patch)) {
    std::fprintf(stderr, "delta_make: no patch\n");
    return false;
  }
  std::printf("%s%zu %.3f %lld", first ? "" : " ", patch.size(), SecondsSince(start), PeakMemoryBytes());
  return true;
}

// The compressed copy and the zstd delta; false with a message on failure.
bool PrintZstdForms(const std::string& base, const std::string& target, const char* copyOut, const char* deltaOut) {
  std::string copy, delta;
  int copyWindow = 0, deltaWindow = 0;
  auto start = std::chrono::steady_clock::now();
  if (!CompressForServing(target, kPublishLevel, copy, copyWindow)) {
    std::fprintf(stderr, "delta_make: compression failed\n");
    return false;
  }
  const double copySeconds = SecondsSince(start);
  start = std::chrono::steady_clock::now();
  if (!MakeDelta(base, target, kPublishLevel, delta, deltaWindow)) {
    std::fprintf(stderr, "delta_make: no delta (a file past the client's window, or zstd failed)\n");
    return false;
  }
  const double deltaSeconds = SecondsSince(start);
  if (!WriteAll(copyOut, copy) || !WriteAll(deltaOut, delta)) {
    std::fprintf(stderr, "delta_make: cannot write the results\n");
    return false;
  }
  std::printf("%zu %.3f %zu %.3f %d", copy.size(), copySeconds, delta.size(), deltaSeconds, deltaWindow);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool patchOnly = argc == 5 && std::strcmp(argv[1], "--patch") == 0;
  if (!patchOnly && argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: delta_make OLD NEW COPY_OUT DELTA_OUT [PATCH_OUT]\n"
                         "       delta_make --patch OLD NEW PATCH_OUT\n");
    return 2;
  }
  char** const pair = patchOnly ? argv + 2 : argv + 1;
  std::string base, target;
  if (!ReadAll(pair[0], base) || !ReadAll(pair[1], target)) {
    std::fprintf(stderr, "delta_make: cannot read the pair\n");
    return 2;
  }
  bool made = patchOnly ? PrintPatch(base, target, argv[4], true) : PrintZstdForms(base, target, argv[3], argv[4]);
  if (made && argc == 6) made = PrintPatch(base, target, argv[5], false);
  std::printf("\n");
  return made ? 0 : 1;
}
