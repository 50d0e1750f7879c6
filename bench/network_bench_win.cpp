// Benchmark, not a test: what a school's network costs the update. The
// large release of update_bench (1,000 files of 10 KiB and 10 of 10 MiB),
// served by nginx from disk, fetched by the incremental update's download
// loop with its default files at once, over plain HTTP and over HTTPS, each
// directly and through a proxy (squid on loopback; HTTPS goes through it as
// a CONNECT tunnel), in interleaved rounds. Prints the medians and the
// ratios proxy/direct and HTTPS/HTTP. scripts/bench.sh starts the servers.
//
// Usage (under Wine): network_bench.exe SERVED_DIR HTTP_BASE PROXY [HTTPS_BASE]
//   SERVED_DIR  where nginx's root is: the files are written to SERVED_DIR\files
//   HTTP_BASE   http://127.0.0.1:PORT, nginx over plain HTTP
//   PROXY       host:port of the proxy
//   HTTPS_BASE  https://localhost:PORT, the same nginx over TLS, with a
//               certificate the machine's root store trusts (left out: HTTP only)

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/update_timing_win.h"
#include "platform/text.h"
#include "tests/support/test_files.h"
#include "tests/support/wine_support.h"
#include "update/incremental_update.h"
#include "update/manifest/package_manifest.h"
#include "update/transfer/http_transfer.h"
#include "update/transfer/proxy_route.h"

namespace {

constexpr int kSmallFiles = 1000;
constexpr std::size_t kSmallSize = 10 * 1024;
constexpr int kLargeFiles = 10;
constexpr std::size_t kLargeSize = 10 * 1024 * 1024;
constexpr int kRounds = 3;

struct Road {
  const char* name;
  bool tls;
  bool proxy;
  std::vector<double> seconds;
};

// Writes the release under served\files and lists it with base's URLs.
bool ServeRelease(const std::wstring& served, std::vector<PackageFileEntry>* entries) {
  const std::wstring files = served + L"\\files\\";
  CreateDirectoryW(served.c_str(), nullptr);
  CreateDirectoryW(files.c_str(), nullptr);
  for (int i = 0; i < kSmallFiles + kLargeFiles; ++i) {
    const bool large = i >= kSmallFiles;
    const std::string bytes = BenchContent(large ? kLargeSize : kSmallSize, static_cast<unsigned>(i));
    const std::string name = std::to_string(i) + ".bin";
    if (!WriteFileWhole(files + NarrowToWide(name), bytes)) return false;
    PackageFileEntry entry;
    entry.set_name(name);
    entry.set_hash(test_files::Md5Of(bytes));
    entry.set_local_path(large ? "large\\" : "small\\");
    entry.set_ver("1");
    entries->push_back(entry);
  }
  return true;
}

PackageManifest ReleaseAt(const std::string& base, std::vector<PackageFileEntry> entries) {
  for (PackageFileEntry& entry : entries) entry.set_remote_url(base + "/files/" + entry.name());
  PackageManifest remote;
  remote.set_version("2");
  remote.set_type("force");
  remote.set_file_list(entries);
  return remote;
}

double Ratio(const Road& over, const Road& under) {
  return Median(over.seconds) / Median(under.seconds);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: network_bench.exe SERVED_DIR HTTP_BASE PROXY [HTTPS_BASE]\n");
    return 2;
  }
  const std::string proxy = WideToNarrow(argv[3]);
  std::vector<PackageFileEntry> entries;
  std::printf("writing %d files of %zu KiB and %d of %zu MiB for nginx...\n", kSmallFiles, kSmallSize / 1024,
              kLargeFiles, kLargeSize / (1024 * 1024));
  std::fflush(stdout);
  if (!ServeRelease(argv[1], &entries)) {
    std::fprintf(stderr, "cannot write the release under %ls\n", argv[1]);
    return 2;
  }
  const PackageManifest http = ReleaseAt(WideToNarrow(argv[2]), entries);
  const PackageManifest https = argc > 4 ? ReleaseAt(WideToNarrow(argv[4]), entries) : PackageManifest();
  std::vector<Road> roads = {{"HTTP, direct", false, false, {}}, {"HTTP, through the proxy", false, true, {}}};
  if (argc > 4) {
    roads.push_back({"HTTPS, direct", true, false, {}});
    roads.push_back({"HTTPS, through the proxy (CONNECT)", true, true, {}});
  }
  wchar_t tempPath[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, tempPath);
  const std::wstring temp = std::wstring(tempPath) + L"zq-network-bench\\";

  // As the worker thread does for its whole run.
  const CurlGlobalScope curlGlobal;
  for (int round = 0; round < kRounds; ++round) {
    std::printf("round %d of %d...\n", round + 1, kRounds);
    std::fflush(stdout);
    for (Road& road : roads) {
      SetProxyOverride(road.proxy ? proxy : "DIRECT");
      double seconds = 0;
      if (!TimeUpdate(road.tls ? https : http, kDefaultParallelDownloads, temp, &seconds)) {
        std::fprintf(stderr, "%s: the update failed\n", road.name);
        return 1;
      }
      road.seconds.push_back(seconds);
    }
  }
  RemoveTree(temp);

  std::printf("\nthe large release, %d files at once, medians of %d rounds:\n", kDefaultParallelDownloads, kRounds);
  for (const Road& road : roads) std::printf("  %-36s %7.2f s\n", road.name, Median(road.seconds));
  std::printf("  ratio through the proxy / direct, HTTP:  %.2f (goal: under 1.10)\n", Ratio(roads[1], roads[0]));
  if (roads.size() > 2) {
    std::printf("  ratio through the proxy / direct, HTTPS: %.2f (goal: under 1.10)\n", Ratio(roads[3], roads[2]));
    std::printf("  ratio HTTPS / HTTP, direct:              %.2f (goal: under 1.15)\n", Ratio(roads[2], roads[0]));
    std::printf("  ratio HTTPS / HTTP, through the proxy:   %.2f\n", Ratio(roads[3], roads[1]));
  }
  return 0;
}
