// How long planning takes for a large release: which entries of a remote
// manifest to fetch, and what finalising it does, both against an installed
// manifest of as many entries. Each lookup by name used to copy the whole
// file list, which made planning quadratic in copies; run before and after a
// change to see the difference. Prints milliseconds (median of the runs) and
// the count of entries chosen, which must be the same in every build.
// A measurement, not a pass/fail test.
//
//   plan_bench [entries] [runs]     default 10000 entries, 3 runs

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "update/install/finalise_plan.h"
#include "update/incremental_update.h"
#include "update/manifest/package_manifest.h"

namespace {

// Names and paths as long as a real client's, every second entry newer.
PackageManifest MakeManifest(int entries, bool remote) {
  std::vector<PackageFileEntry> list;
  list.reserve(entries);
  for (int i = 0; i < entries; ++i) {
    PackageFileEntry entry;
    entry.set_name("module_" + std::to_string(i) + ".dll");
    entry.set_local_path("plugins\\group_" + std::to_string(i % 97) + "\\");
    entry.set_remote_url("http://update.example.com/files/" + std::to_string(i) + "/module_" + std::to_string(i) +
                         ".dll");
    entry.set_hash("0123456789ABCDEF0123456789ABCDEF");
    entry.set_ver(remote && i % 2 == 0 ? "3" : "2");
    list.push_back(entry);
  }
  PackageManifest manifest;
  manifest.set_version(remote ? "12" : "11");
  manifest.set_type("force");
  manifest.set_file_list(std::move(list));
  return manifest;
}

template <typename Work>
double MedianMilliseconds(int runs, Work work) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const PackageManifest remote = MakeManifest(entries, true);
  const PackageManifest local = MakeManifest(entries, false);

  std::printf("%d remote entries against %d local, median of %d runs\n", entries, entries, runs);
  std::fflush(stdout);
  std::size_t fetched = 0;
  const double fetchMs = MedianMilliseconds(runs, [&] { fetched = EntriesToFetch(remote, local).size(); });
  std::printf("entries to fetch:   %10.1f ms  (%zu chosen)\n", fetchMs, fetched);
  std::fflush(stdout);
  std::size_t installed = 0;
  const double planMs = MedianMilliseconds(runs, [&] {
    installed = 0;
    for (const FinaliseStep& step :
         PlanFinalisation(remote, local, local, "C:\\zq\\", "C:\\zq\\temp\\", "ZenquiloStudent.exe")) {
      if (step.skip == FinaliseSkip::kNone) ++installed;
    }
  });
  std::printf("finalisation plan:  %10.1f ms  (%zu installed)\n", planMs, installed);
  return 0;
}
