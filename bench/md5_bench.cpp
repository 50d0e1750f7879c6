// Throughput of CMD5Checksum::HashFile against md5sum and `openssl dgst -md5`
// on one 256 MiB file, in the same run and from the page cache, so that only
// the hashing differs. Prints MB/s (10^6 bytes) for each and our ratios, by
// CPU time (steadier on a busy machine) and by wall time.
// Exit code 0 when all three digests agree, 1 when they do not, 2 when the
// file cannot be made or a tool is missing. A measurement, not a pass/fail test.
//
//   md5_bench [file] [runs]     default /tmp/zq_md5_bench.bin, 7 runs each

#include "update/proof/md5_checksum.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "platform/unique_resource.h"

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kFileSize = 256 * kMiB;

// Deterministic bytes that no compressor or page deduplication can shortcut.
bool MakeFile(const std::string& path) {
  UniqueFile file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  std::vector<unsigned char> chunk(kMiB);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  bool ok = true;
  for (std::size_t written = 0; ok && written < kFileSize; written += chunk.size()) {
    for (std::size_t i = 0; i < chunk.size(); i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      for (int b = 0; b < 8; ++b) chunk[i + b] = static_cast<unsigned char>(x >> (8 * b));
    }
    ok = std::fwrite(chunk.data(), 1, chunk.size(), file.get()) == chunk.size();
  }
  return CloseFile(file) && ok;
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The first 32 hexadecimal digits a command prints, upper-cased; empty when
// it prints none (the tool is missing or failed).
std::string RunForDigest(const std::string& command) {
  std::FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return std::string();
  std::string output;
  char chunk[256];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
  const int status = pclose(pipe);
  if (status != 0 || output.size() < 32) return std::string();
  std::string digest = output.substr(0, 32);
  for (char& c : digest) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::string();
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return digest;
}

struct Contender {
  std::string name;
  std::function<std::string()> hash;
  std::string digest;  // of the first run; empty once any run failed or disagreed
  std::vector<double> wallSeconds;
  std::vector<double> cpuSeconds;
};

// User and system time of this process and of its waited-for children.
double CpuSeconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    getrusage(who, &usage);
    total += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

// Rounds take each contender in turn, so that load from other processes on a
// shared machine falls on all of them alike rather than on whichever ran last.
void MeasureInRounds(std::vector<Contender>& contenders, int runs) {
  for (int round = 0; round < runs; ++round) {
    for (Contender& c : contenders) {
      if (round > 0 && c.digest.empty()) continue;
      const double cpuStart = CpuSeconds();
      const auto wallStart = std::chrono::steady_clock::now();
      const std::string digest = c.hash();
      c.wallSeconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count());
      c.cpuSeconds.push_back(CpuSeconds() - cpuStart);
      if (round == 0) {
        c.digest = digest;
      } else if (digest != c.digest) {
        c.digest.clear();
      }
    }
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double MegabytesPerSecond(double seconds) {
  return static_cast<double>(kFileSize) / 1e6 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "/tmp/zq_md5_bench.bin";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
#ifndef __OPTIMIZE__
  std::printf("warning: built without optimisation; our figure means nothing\n");
#endif

  std::printf("making %zu MiB of test data in %s\n", kFileSize / kMiB, path.c_str());
  if (!MakeFile(path)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::remove(path.c_str());
    return 2;
  }
  // One untimed pass so that every contender reads from the page cache.
  const std::string warm = CMD5Checksum::HashFile(path);

  const std::string quoted = ShellQuote(path);
  std::vector<Contender> contenders = {
      {"HashFile", [&] { return CMD5Checksum::HashFile(path); }, "", {}, {}},
      {"md5sum", [&] { return RunForDigest("md5sum " + quoted); }, "", {}, {}},
      {"openssl", [&] { return RunForDigest("openssl dgst -md5 -r " + quoted); }, "", {}, {}},
  };
  MeasureInRounds(contenders, runs);
  std::remove(path.c_str());

  int status = 0;
  std::printf("%-9s %-33s %13s %13s %13s\n", "", "digest", "MB/s by CPU", "MB/s by wall", "best by wall");
  for (const Contender& c : contenders) {
    if (c.digest.empty()) {
      std::printf("%-9s failed, gave changing digests, or is not installed\n", c.name.c_str());
      status = 2;
      continue;
    }
    std::printf("%-9s %-33s %13.0f %13.0f %13.0f\n", c.name.c_str(), c.digest.c_str(),
                MegabytesPerSecond(Median(c.cpuSeconds)), MegabytesPerSecond(Median(c.wallSeconds)),
                MegabytesPerSecond(*std::min_element(c.wallSeconds.begin(), c.wallSeconds.end())));
  }
  if (status != 0) return status;
  for (const Contender& c : contenders) {
    if (c.digest != warm) {
      std::printf("DIGESTS DISAGREE\n");
      return 1;
    }
  }
  std::printf("digests agree (medians of %d interleaved runs)\n", runs);
  const Contender& ours = contenders[0];
  for (std::size_t i = 1; i < contenders.size(); ++i) {
    const Contender& other = contenders[i];
    std::printf("ours/%-8s %.2f by CPU time, %.2f by wall time\n", other.name.c_str(),
                Median(other.cpuSeconds) / Median(ours.cpuSeconds),
                Median(other.wallSeconds) / Median(ours.wallSeconds));
  }
  return 0;
}
