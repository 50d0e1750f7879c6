#include "bench/update_timing_win.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/text.h"
#include "tests/support/wine_support.h"
#include "update/incremental_update.h"
#include "update/proof/release_trust.h"
#include "update/transfer/download_policy.h"

double SecondsSince(BenchClock::time_point start) {
  return std::chrono::duration<double>(BenchClock::now() - start).count();
}

std::string BenchContent(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool TimeUpdate(const PackageManifest& remote, int parallelDownloads, const std::wstring& temp, double* seconds) {
  RemoveTree(temp);
  CreateDirectoryW(temp.c_str(), nullptr);
  int fetched = 0;
  bool ready = false;
  IncrementalUpdateReporter reporter;
  reporter.progress = [&](int, int position) { fetched = position; };
  reporter.ready = [&] { ready = true; };
  reporter.failed = [] {};
  UpdateRules rules{ReleaseTrust::Unsigned(), RetryPolicy()};
  rules.parallelDownloads = parallelDownloads;
  const BenchClock::time_point start = BenchClock::now();
  const int result =
      RunIncrementalUpdateIn(remote, PackageManifest(), WideToNarrow(temp), WideToNarrow(temp), reporter, rules);
  *seconds = SecondsSince(start);
  if (result != 1 || !ready) {
    std::fprintf(stderr, "the update failed (%d files fetched)\n", fetched);
    return false;
  }
  return true;
}
