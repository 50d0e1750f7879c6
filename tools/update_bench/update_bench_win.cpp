// Benchmark, not a test: an incremental update of 1,000 files of 10 KiB and 10
// files of 10 MiB over loopback, from the start of the download loop to
// "ready", then the finalisation that installs them; in the same run, the curl
// program built from the same curl sources fetches the same URLs one after
// another in one process. Prints both times and the ratio.
//
// Usage (under Wine): update_bench.exe [curl.exe] [work directory]

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <io.h>

#include "platform/text.h"
#include "tools/test_http_server/test_http_server.h"
#include "update/finalise_update.h"
#include "update/http_transfer.h"
#include "update/incremental_update.h"
#include "update/md5_checksum.h"
#include "update/package_manifest.h"

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

  test_http::TestHttpServer server;
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
    PackageFileEntry entry;
    entry.set_name(std::to_string(i) + ".bin");
    entry.set_remote_url(server.BaseUrl() + path);
    entry.set_hash(Md5Of(content));
    entry.set_local_path(large ? "large\\" : "small\\");
    entry.set_ver("1");
    entries.push_back(entry);
    curlConfig += "url = \"" + server.BaseUrl() + path + "\"\noutput = \"" + WideToNarrow(curlOut) +
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

  // Ours: the download loop as the worker runs it, proving every file.
  int fetched = 0;
  bool ready = false;
  IncrementalUpdateReporter reporter;
  reporter.progress = [&](int, int position) { fetched = position; };
  reporter.ready = [&] { ready = true; };
  reporter.failed = [] {};
  // As the worker thread does for its whole run.
  const CurlGlobalScope curlGlobal;
  const Clock::time_point updateStart = Clock::now();
  const int result = RunIncrementalUpdateIn(remote, PackageManifest(), WideToNarrow(temp), reporter);
  const double updateSeconds = SecondsSince(updateStart);
  if (result != 1 || !ready) {
    std::fprintf(stderr, "the update failed (%d files fetched)\n", fetched);
    return 1;
  }

  // The finalisation of those files, as the next plain start runs it.
  FILE* pending = _wfopen((temp + L"package.json").c_str(), L"wb");
  if (pending == nullptr) return 1;
  std::string pendingText = "{\"version\": \"2\", \"type\": \"force\", \"file_list\": [";
  for (size_t i = 0; i < entries.size(); ++i) {
    pendingText += (i ? ",{" : "{") + std::string("\"name\": \"") + entries[i].name() + "\", \"local_path\": \"" +
                   (entries[i].local_path() == "large\\" ? "large\\\\" : "small\\\\") + "\", \"ver\": \"1\"}";
  }
  pendingText += "]}";
  fwrite(pendingText.data(), 1, pendingText.size(), pending);
  fclose(pending);
  const Clock::time_point finaliseStart = Clock::now();
  const int finalised = FinaliseInDirectories(module, temp, PackageManifest(), nullptr);
  const double finaliseSeconds = SecondsSince(finaliseStart);

  // The peer: curl.exe, one process, the same URLs one after another.
  const std::wstring configPath = work + L"urls.txt";
  FILE* config = _wfopen(configPath.c_str(), L"wb");
  if (config == nullptr) return 1;
  fwrite(curlConfig.data(), 1, curlConfig.size(), config);
  fclose(config);
  DWORD curlExit = 1;
  const Clock::time_point curlStart = Clock::now();
  if (!Run(L"\"" + curl + L"\" -s -f -K \"" + configPath + L"\"", &curlExit)) {
    std::fprintf(stderr, "cannot start %ls\n", curl.c_str());
    return 2;
  }
  const double curlSeconds = SecondsSince(curlStart);

  std::printf("incremental update, 1010 files (download, MD5, staging): %.2f s\n", updateSeconds);
  std::printf("finalisation of those files (including its fixed 1 s pause): %.2f s (result %d)\n", finaliseSeconds,
              finalised);
  std::printf("curl.exe, the same URLs in one process:                  %.2f s (exit %lu)\n", curlSeconds,
              static_cast<unsigned long>(curlExit));
  std::printf("ratio update/curl: %.2f (target: at most 1.5)\n", updateSeconds / curlSeconds);
  server.Stop();
  RemoveTree(work);
  return curlExit == 0 ? 0 : 1;
}
