// Benchmark, not a test: an incremental update of 1,000 files of 10 KiB and 10
// files of 10 MiB over loopback, from the start of the download loop to
// "ready", then the finalisation that installs them; in the same run, the curl
// program built from the same curl sources fetches the same URLs one after
// another in one process. Then both again with the connection cut in the
// middle of every 10 MiB file, once: the update resumes each after its first
// retry pause (1 s), curl runs with --retry 3 -C - as asked, and once more
// with --retry-all-errors, without which it does not retry a cut transfer.
// Prints the times and the ratios.
//
// Usage (under Wine): update_bench.exe [curl.exe] [work directory]

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <io.h>

#include "platform/text.h"
#include "tools/test_http_server/test_http_server.h"
#include "update/install/finalise_update.h"
#include "update/transfer/http_transfer.h"
#include "update/incremental_update.h"
#include "update/proof/md5_checksum.h"
#include "update/manifest/package_manifest.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSmallFiles = 1000;
constexpr size_t kSmallSize = 10 * 1024;
constexpr int kLargeFiles = 10;
constexpr size_t kLargeSize = 10 * 1024 * 1024;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Content(size_t size, unsigned seed) {
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

std::string Md5Of(const std::string& bytes) {
  CMD5Checksum digest;
  digest.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return digest.Final();
}

void RemoveTree(const std::wstring& directory) {
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((directory + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(directory + name + L"\\");
      } else {
        DeleteFileW((directory + name).c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(directory.c_str());
}

// Runs a command line to its end; false when it cannot be started.
bool Run(const std::wstring& commandLine, DWORD* exitCode) {
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return true;
}

// A quoted value of a curl config file: there a backslash starts an escape
// ("\\t" is a tab), so each one of a Windows path is doubled.
std::string ConfigText(const std::string& text) {
  std::string quoted;
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted;
}

constexpr int kRounds = 3;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The pending manifest the finalisation installs: every file staged, ver 1.
bool WritePendingManifest(const std::vector<PackageFileEntry>& entries, const std::wstring& temp) {
  std::string text = "{\"version\": \"2\", \"type\": \"force\", \"file_list\": [";
  for (size_t i = 0; i < entries.size(); ++i) {
    text += (i ? ",{" : "{") + std::string("\"name\": \"") + entries[i].name() + "\", \"local_path\": \"" +
            (entries[i].local_path() == "large\\" ? "large\\\\" : "small\\\\") + "\", \"ver\": \"1\"}";
  }
  text += "]}";
  FILE* pending = _wfopen((temp + L"package.json").c_str(), L"wb");
  if (pending == nullptr) return false;
  fwrite(text.data(), 1, text.size(), pending);
  return fclose(pending) == 0;
}

std::vector<std::string> g_largePaths;
std::vector<std::string> g_contents;

// The next request of every large file is cut half-way (the rest served
// normally): the fault counts start again at each call.
void CutEveryLargeFileOnce(test_http::TestHttpServer& server) {
  test_http::ResponsePlan plan;
  test_http::ParseFaultTokens("close-mid,times=1", &plan);
  for (const std::string& path : g_largePaths) server.SetFault(path, plan);
}

bool TimeUpdate(const PackageManifest& remote, const std::wstring& temp, double* seconds) {
  CreateDirectoryW(temp.c_str(), nullptr);
  int fetched = 0;
  bool ready = false;
  IncrementalUpdateReporter reporter;
  reporter.progress = [&](int, int position) { fetched = position; };
  reporter.ready = [&] { ready = true; };
  reporter.failed = [] {};
  const Clock::time_point start = Clock::now();
  const int result = RunIncrementalUpdateIn(remote, PackageManifest(), WideToNarrow(temp), WideToNarrow(temp), reporter,
                                            UpdateRules{ReleaseTrust::Unsigned(), RetryPolicy()});
  *seconds = SecondsSince(start);
  if (result != 1 || !ready) {
    std::fprintf(stderr, "the update failed (%d files fetched)\n", fetched);
    return false;
  }
  return true;
}

struct CurlRun {
  double seconds = 0;
  DWORD exitCode = 1;
  int wholeFiles = 0;
};

// Runs curl into an emptied output directory and counts the files it got whole.
bool TimeCurl(const std::wstring& commandLine, const std::wstring& outDirectory, CurlRun* run) {
  RemoveTree(outDirectory);
  CreateDirectoryW(outDirectory.c_str(), nullptr);
  run->wholeFiles = 0;
  const Clock::time_point start = Clock::now();
  if (!Run(commandLine, &run->exitCode)) {
    std::fprintf(stderr, "cannot start %ls\n", commandLine.c_str());
    return false;
  }
  run->seconds = SecondsSince(start);
  for (size_t i = 0; i < g_contents.size(); ++i) {
    FILE* file = _wfopen((outDirectory + std::to_wstring(i) + L".bin").c_str(), L"rb");
    if (file == nullptr) continue;
    std::string bytes;
    char block[1 << 16];
    size_t got = 0;
    while ((got = fread(block, 1, sizeof block, file)) > 0) bytes.append(block, got);
    fclose(file);
    run->wholeFiles += bytes == g_contents[i] ? 1 : 0;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring curl = argc > 1 ? argv[1] : L"" ZQ_BENCH_CURL;
  wchar_t tempPath[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, tempPath);
  const std::wstring work = (argc > 2 ? std::wstring(argv[2]) + L"\\" : std::wstring(tempPath)) + L"zq-update-bench\\";
  RemoveTree(work);
  const std::wstring module = work + L"install\\";
  const std::wstring temp = module + L"temp\\";
  const std::wstring curlOut = work + L"curl\\";
  CreateDirectoryW(work.c_str(), nullptr);
  CreateDirectoryW(module.c_str(), nullptr);
  CreateDirectoryW(temp.c_str(), nullptr);
  CreateDirectoryW(curlOut.c_str(), nullptr);

  // Every round asks for some 5,000 files.
  test_http::ServerOptions serverOptions;
  serverOptions.maxRequests = 1000000;
  test_http::TestHttpServer server(serverOptions);
  if (!server.Start()) {
    std::fprintf(stderr, "cannot start the local server\n");
    return 2;
  }

  std::printf("making %d files of %zu KiB and %d of %zu MiB...\n", kSmallFiles, kSmallSize / 1024, kLargeFiles,
              kLargeSize / (1024 * 1024));
  std::vector<PackageFileEntry> entries;
  std::string curlConfig;
  for (int i = 0; i < kSmallFiles + kLargeFiles; ++i) {
    const bool large = i >= kSmallFiles;
    const std::string content = Content(large ? kLargeSize : kSmallSize, static_cast<unsigned>(i));
    const std::string path = "/files/" + std::to_string(i) + ".bin";
    server.SetResource(path, content);
    if (large) g_largePaths.push_back(path);
    g_contents.push_back(content);
    PackageFileEntry entry;
    entry.set_name(std::to_string(i) + ".bin");
    entry.set_remote_url(server.BaseUrl() + path);
    entry.set_hash(Md5Of(content));
    entry.set_local_path(large ? "large\\" : "small\\");
    entry.set_ver("1");
    entries.push_back(entry);
    curlConfig += "url = \"" + server.BaseUrl() + path + "\"\noutput = \"" + ConfigText(WideToNarrow(curlOut)) +
                  std::to_string(i) + ".bin\"\n";
  }
  PackageManifest remote;
  remote.set_version("2");
  remote.set_type("force");
  remote.set_file_list(entries);

  // The program is a windowed process without standard error, so the
  // downloads' libcurl trace is dropped there at once; so it is here.
  std::fflush(stderr);
  _close(2);

  // The peer's URL list: curl.exe, one process, the same URLs one after another.
  const std::wstring configPath = work + L"urls.txt";
  FILE* config = _wfopen(configPath.c_str(), L"wb");
  if (config == nullptr) return 1;
  fwrite(curlConfig.data(), 1, curlConfig.size(), config);
  fclose(config);
  const std::wstring curlCommand = L"\"" + curl + L"\" -s -f -K \"" + configPath + L"\"";

  // As the worker thread does for its whole run.
  const CurlGlobalScope curlGlobal;
  // Rounds of every measurement in turn, so that a machine busy for a while
  // weighs on all of them alike; medians are reported.
  std::vector<double> update, cutUpdate, curlClean, curlCut, curlCutAll;
  CurlRun clean, cut, cutAllErrors;
  double finaliseSeconds = 0;
  int finalised = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::printf("round %d of %d...\n", round + 1, kRounds);
    std::fflush(stdout);
    RemoveTree(temp);
    double seconds = 0;
    // Ours: the download loop as the worker runs it, proving every file.
    if (!TimeUpdate(remote, temp, &seconds)) return 1;
    update.push_back(seconds);
    if (round == 0) {
      // The finalisation of those files, as the next plain start runs it.
      if (!WritePendingManifest(entries, temp)) return 1;
      const Clock::time_point finaliseStart = Clock::now();
      finalised = FinaliseInDirectories(module, temp, PackageManifest(), nullptr, ReleaseTrust::Unsigned());
      finaliseSeconds = SecondsSince(finaliseStart);
    }
    if (!TimeCurl(curlCommand, curlOut, &clean)) return 2;
    curlClean.push_back(clean.seconds);

    RemoveTree(temp);
    CutEveryLargeFileOnce(server);
    if (!TimeUpdate(remote, temp, &seconds)) return 1;
    cutUpdate.push_back(seconds);
    CutEveryLargeFileOnce(server);
    if (!TimeCurl(curlCommand + L" --retry 3 -C -", curlOut, &cut)) return 2;
    curlCut.push_back(cut.seconds);
    CutEveryLargeFileOnce(server);
    if (!TimeCurl(curlCommand + L" --retry 3 -C - --retry-all-errors", curlOut, &cutAllErrors)) return 2;
    curlCutAll.push_back(cutAllErrors.seconds);
  }

  const double updateSeconds = Median(update);
  const double cutUpdateSeconds = Median(cutUpdate);
  const double curlSeconds = Median(curlClean);
  const double curlCutAllSeconds = Median(curlCutAll);
  std::printf("\nmedians of %d rounds\n", kRounds);
  std::printf("incremental update, 1010 files (download, MD5, staging): %.2f s\n", updateSeconds);
  std::printf("finalisation of those files (including its fixed 1 s pause): %.2f s (result %d)\n", finaliseSeconds,
              finalised);
  std::printf("curl.exe, the same URLs in one process:                  %.2f s (exit %lu)\n", curlSeconds,
              static_cast<unsigned long>(clean.exitCode));
  std::printf("ratio update/curl: %.2f (target: at most 1.5)\n", updateSeconds / curlSeconds);
  std::printf("\nwith the connection cut half-way through every 10 MiB file, once:\n");
  std::printf("incremental update (resumes after a 1 s pause):          %.2f s (%.2f x its clean run)\n",
              cutUpdateSeconds, cutUpdateSeconds / updateSeconds);
  std::printf("curl.exe --retry 3 -C -:                                 %.2f s (exit %lu, %d of %d files whole)\n",
              Median(curlCut), static_cast<unsigned long>(cut.exitCode), cut.wholeFiles, kSmallFiles + kLargeFiles);
  std::printf("curl.exe --retry 3 -C - --retry-all-errors:              %.2f s (exit %lu, %d of %d files whole)\n",
              curlCutAllSeconds, static_cast<unsigned long>(cutAllErrors.exitCode), cutAllErrors.wholeFiles,
              kSmallFiles + kLargeFiles);
  std::printf("ratio update/curl --retry-all-errors: %.2f\n", cutUpdateSeconds / curlCutAllSeconds);
  server.Stop();
  RemoveTree(work);
  return clean.exitCode == 0 && cutAllErrors.exitCode == 0 ? 0 : 1;
}
