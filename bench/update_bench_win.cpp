// Benchmark, not a test: incremental updates over loopback, from the start of
// the download loop to "ready", with one file on its way at a time and with
// four, and the real ZenquiloStudent.exe from its start until it has staged
// the release; in the same run, the curl program built from the same curl
// sources fetches the same URLs in one process, one after another and with
// --parallel --parallel-max 4. Two releases: 1,000 files of 10 KiB and 10 of
// 10 MiB, and 300 files of 4 KiB; each at 0 ms and again at 25 ms of added
// round trip: the server waits 25 ms before each new connection's first
// request and 25 ms before each answer, since loopback alone hides what
// reusing connections and overlapping requests save. Then the finalisation
// that installs the large release, and, at 0 ms, the update (one at a time)
// and curl with the connection cut in the middle of every 10 MiB file, once:
// the update resumes each after its first retry pause (1 s), curl runs with
// --retry 3 -C - as asked, and once more with --retry-all-errors, without
// which it does not retry a cut transfer. Prints the times, the ratios and
// how many connections each run opened.
//
// Usage (under Wine): update_bench.exe [curl.exe] [work directory] [ZenquiloStudent.exe]

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <io.h>

#include "bench/update_timing_win.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "tests/server/test_http_server.h"
#include "tests/support/test_files.h"
#include "tests/support/wine_support.h"
#include "update/install/finalise_update.h"
#include "update/transfer/http_transfer.h"
#include "update/incremental_update.h"
#include "update/manifest/package_manifest.h"

namespace {

using Clock = BenchClock;

constexpr int kSmallFiles = 1000;
constexpr size_t kSmallSize = 10 * 1024;
constexpr int kLargeFiles = 10;
constexpr size_t kLargeSize = 10 * 1024 * 1024;
constexpr int kTinyFiles = 300;
constexpr size_t kTinySize = 4 * 1024;

// Runs a command line to its end; false when it cannot be started.
bool Run(const std::wstring& commandLine, DWORD* exitCode) {
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &started)) {
    return false;
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  GetExitCodeProcess(process.get(), exitCode);
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
// At 25 ms the fixed delays dwarf the machine's noise, and one round of the
// slowest scenario takes about a minute.
constexpr int kLatencyRounds = 1;
constexpr int kLatencyMs = 25;
constexpr int kParallel = 4;

// The pending manifest the finalisation installs: every file staged, ver 1.
bool WritePendingManifest(const std::vector<PackageFileEntry>& entries, const std::wstring& temp) {
  std::string text = "{\"version\": \"2\", \"type\": \"force\", \"file_list\": [";
  for (size_t i = 0; i < entries.size(); ++i) {
    text += (i ? ",{" : "{") + std::string("\"name\": \"") + entries[i].name() + "\", \"local_path\": \"" +
            (entries[i].local_path() == "large\\" ? "large\\\\" : "small\\\\") + "\", \"ver\": \"1\"}";
  }
  text += "]}";
  return WriteFileWhole(temp + L"package.json", text);
}

std::vector<std::string> g_largePaths;

// What a release's files hold, in the order the manifest lists them.
std::vector<std::string> LargeRelease() {
  std::vector<std::string> contents;
  for (int i = 0; i < kSmallFiles + kLargeFiles; ++i) {
    const bool large = i >= kSmallFiles;
    contents.push_back(BenchContent(large ? kLargeSize : kSmallSize, static_cast<unsigned>(i)));
    if (large) g_largePaths.push_back("/files/" + std::to_string(i) + ".bin");
  }
  return contents;
}

std::vector<std::string> TinyRelease() {
  std::vector<std::string> contents;
  for (int i = 0; i < kTinyFiles; ++i) contents.push_back(BenchContent(kTinySize, static_cast<unsigned>(5000 + i)));
  return contents;
}

// One server with its added round trip, and what each client fetches from it.
struct Scenario {
  int delayMs = 0;
  std::vector<std::string> contents;
  std::unique_ptr<test_http::TestHttpServer> server;
  std::vector<PackageFileEntry> entries;
  PackageManifest remote;
  std::wstring curlConfig;
};

// The served manifest of the scenario's release, as the program fetches it.
std::string ManifestText(const Scenario& scenario) {
  std::string text = "{\"version\": \"2\", \"type\": \"force\", \"file_list\": [";
  for (size_t i = 0; i < scenario.entries.size(); ++i) {
    const PackageFileEntry& e = scenario.entries[i];
    text += std::string(i ? ",{" : "{") + "\"name\": \"" + e.name() + "\", \"remote_url\": \"" + e.remote_url() +
            "\", \"hash\": \"" + e.hash() + "\", \"local_path\": \"" +
            (e.local_path() == "large\\" ? "large\\\\" : "small\\\\") +
            "\", \"ver\": \"1\", \"size\": " + std::to_string(scenario.contents[i].size()) + "}";
  }
  return text + "]}";
}

bool OpenScenario(int delayMs, std::vector<std::string> contents, const std::wstring& work, const std::wstring& curlOut,
                  Scenario* scenario) {
  test_http::ServerOptions options;
  // Every round asks for some 5,000 files.
  options.maxRequests = 1000000;
  options.connectionDelayMs = delayMs;
  options.requestDelayMs = delayMs;
  scenario->delayMs = delayMs;
  scenario->contents = std::move(contents);
  scenario->server = std::make_unique<test_http::TestHttpServer>(options);
  if (!scenario->server->Start()) return false;
  std::string config;
  for (size_t i = 0; i < scenario->contents.size(); ++i) {
    const bool large = scenario->contents[i].size() == kLargeSize;
    const std::string path = "/files/" + std::to_string(i) + ".bin";
    scenario->server->SetResource(path, scenario->contents[i]);
    PackageFileEntry entry;
    entry.set_name(std::to_string(i) + ".bin");
    entry.set_remote_url(scenario->server->BaseUrl() + path);
    entry.set_hash(test_files::Md5Of(scenario->contents[i]));
    entry.set_local_path(large ? "large\\" : "small\\");
    entry.set_ver("1");
    scenario->entries.push_back(entry);
    config += "url = \"" + scenario->server->BaseUrl() + path + "\"\noutput = \"" + ConfigText(WideToNarrow(curlOut)) +
              std::to_string(i) + ".bin\"\n";
  }
  scenario->remote.set_version("2");
  scenario->remote.set_type("force");
  scenario->remote.set_file_list(scenario->entries);
  scenario->server->SetResource("/soft/package.json", ManifestText(*scenario));
  scenario->curlConfig =
      work + L"urls-" + std::to_wstring(scenario->contents.size()) + L"-" + std::to_wstring(delayMs) + L"ms.txt";
  return WriteFileWhole(scenario->curlConfig, config);
}

// The connections the server saw since its requests were last cleared.
size_t ConnectionsUsed(const test_http::TestHttpServer& server) {
  std::set<std::uint64_t> ids;
  for (const test_http::RecordedRequest& request : server.Requests()) ids.insert(request.connection);
  return ids.size();
}

// The next request of every large file is cut half-way (the rest served
// normally): the fault counts start again at each call.
void CutEveryLargeFileOnce(test_http::TestHttpServer& server) {
  test_http::ResponsePlan plan;
  test_http::ParseFaultTokens("close-mid,times=1", &plan);
  for (const std::string& path : g_largePaths) server.SetFault(path, plan);
}

struct CurlRun {
  double seconds = 0;
  DWORD exitCode = 1;
  int wholeFiles = 0;
};

// Runs curl into an emptied output directory and counts the files it got whole.
bool TimeCurl(const std::wstring& commandLine, const std::vector<std::string>& contents,
              const std::wstring& outDirectory, CurlRun* run) {
  RemoveTree(outDirectory);
  CreateDirectoryW(outDirectory.c_str(), nullptr);
  run->wholeFiles = 0;
  const Clock::time_point start = Clock::now();
  if (!Run(commandLine, &run->exitCode)) {
    std::fprintf(stderr, "cannot start %ls\n", commandLine.c_str());
    return false;
  }
  run->seconds = SecondsSince(start);
  // A file curl did not make reads as empty, which no content is.
  for (size_t i = 0; i < contents.size(); ++i) {
    run->wholeFiles += ReadFileBytes(outDirectory + std::to_wstring(i) + L".bin") == contents[i] ? 1 : 0;
  }
  return true;
}

// The real program in an install directory of its own: release 1 installed,
// the settings naming the scenario's manifest. Started as a windowed program is,
// with no standard handles; its staging time runs from its start until the
// pending manifest appears. It stays resident, so it is ended then.
bool TimeProgram(const Scenario& scenario, const std::wstring& program, const std::wstring& install, double* seconds) {
  RemoveTree(install);
  CreateDirectoryW(install.c_str(), nullptr);
  const std::wstring copy = install + L"ZenquiloStudent.exe";
  if (!CopyFileW(program.c_str(), copy.c_str(), FALSE)) {
    std::fprintf(stderr, "cannot copy %ls\n", program.c_str());
    return false;
  }
  const std::string settings = "[global]\r\nURL_UPDATE_PACKAGE=" + scenario.server->BaseUrl() +
                               "/soft/package.json\r\nPARALLEL_DOWNLOADS=" + std::to_string(kParallel) + "\r\n";
  const std::string installed = "{\"version\": \"1\", \"type\": \"force\", \"file_list\": []}";
  if (!WriteFileWhole(install + L"zenquilostudent.ini", settings) ||
      !WriteFileWhole(install + L"package.json", installed)) {
    return false;
  }
  // Any arguments: no finalisation and no shell, the rest of a start as it is.
  std::wstring commandLine = L"\"" + copy + L"\" --no-shell";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  const Clock::time_point start = Clock::now();
  if (!CreateProcessW(copy.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    std::fprintf(stderr, "cannot start %ls\n", copy.c_str());
    return false;
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  const std::wstring pending = install + L"temp\\package.json";
  bool staged = false;
  while (!(staged = GetFileAttributesW(pending.c_str()) != INVALID_FILE_ATTRIBUTES) && SecondsSince(start) < 600 &&
         WaitForSingleObject(process.get(), 5) == WAIT_TIMEOUT) {
  }
  *seconds = SecondsSince(start);
  TerminateProcess(process.get(), 0);
  WaitForSingleObject(process.get(), INFINITE);
  if (!staged) std::fprintf(stderr, "the program staged nothing\n");
  return staged;
}

// The clean runs of one scenario: times of every round, and what the last
// round's runs opened and returned.
struct CleanFigures {
  std::vector<double> ours1, ours4, program, curlOneByOne, curlParallel;
  size_t connections1 = 0, connections4 = 0, connectionsProgram = 0, connectionsOneByOne = 0, connectionsParallel = 0;
  CurlRun oneByOne, parallel;
};

struct Tools {
  std::wstring curl;
  std::wstring program;
  std::wstring module;  // the install the finalisation writes to
  std::wstring temp;
  std::wstring curlOut;
  std::wstring programInstall;
};

bool MeasureClean(const Scenario& scenario, const Tools& tools, CleanFigures* figures) {
  test_http::TestHttpServer& server = *scenario.server;
  const std::wstring command = L"\"" + tools.curl + L"\" -s -f -K \"" + scenario.curlConfig + L"\"";
  double seconds = 0;
  server.ClearRequests();
  if (!TimeUpdate(scenario.remote, 1, tools.temp, &seconds)) return false;
  figures->ours1.push_back(seconds);
  figures->connections1 = ConnectionsUsed(server);
  server.ClearRequests();
  if (!TimeUpdate(scenario.remote, kParallel, tools.temp, &seconds)) return false;
  figures->ours4.push_back(seconds);
  figures->connections4 = ConnectionsUsed(server);
  server.ClearRequests();
  if (!TimeProgram(scenario, tools.program, tools.programInstall, &seconds)) return false;
  figures->program.push_back(seconds);
  figures->connectionsProgram = ConnectionsUsed(server);
  server.ClearRequests();
  if (!TimeCurl(command, scenario.contents, tools.curlOut, &figures->oneByOne)) return false;
  figures->curlOneByOne.push_back(figures->oneByOne.seconds);
  figures->connectionsOneByOne = ConnectionsUsed(server);
  server.ClearRequests();
  if (!TimeCurl(command + L" --parallel --parallel-max " + std::to_wstring(kParallel), scenario.contents, tools.curlOut,
                &figures->parallel)) {
    return false;
  }
  figures->curlParallel.push_back(figures->parallel.seconds);
  figures->connectionsParallel = ConnectionsUsed(server);
  server.ClearRequests();
  return true;
}

void PrintClean(const std::string& title, int rounds, const CleanFigures& f) {
  std::printf("\n%s, medians of %d round(s):\n", title.c_str(), rounds);
  std::printf("  ours, parallelDownloads = 1:                %7.2f s  (%zu connections)\n", Median(f.ours1),
              f.connections1);
  std::printf("  ours, parallelDownloads = %d:                %7.2f s  (%zu connections)\n", kParallel, Median(f.ours4),
              f.connections4);
  std::printf("  ZenquiloStudent.exe from its start (%d):     %7.2f s  (%zu connections, the manifest's included)\n",
              kParallel, Median(f.program), f.connectionsProgram);
  std::printf("  curl.exe, one after another:               %7.2f s  (%zu connections, exit %lu, %d files whole)\n",
              Median(f.curlOneByOne), f.connectionsOneByOne, static_cast<unsigned long>(f.oneByOne.exitCode),
              f.oneByOne.wholeFiles);
  std::printf("  curl.exe --parallel --parallel-max %d:       %7.2f s  (%zu connections, exit %lu, %d files whole)\n",
              kParallel, Median(f.curlParallel), f.connectionsParallel, static_cast<unsigned long>(f.parallel.exitCode),
              f.parallel.wholeFiles);
  std::printf("  ratio ours(1)/curl one after another: %.2f\n", Median(f.ours1) / Median(f.curlOneByOne));
  std::printf("  ratio ours(%d)/curl --parallel:        %.2f\n", kParallel, Median(f.ours4) / Median(f.curlParallel));
  std::printf("  ratio program/curl --parallel:        %.2f (target: at most 1.2)\n",
              Median(f.program) / Median(f.curlParallel));
}

bool CurlSucceeded(const CurlRun& run, size_t files) {
  return run.exitCode == 0 && run.wholeFiles == static_cast<int>(files);
}

std::string ScenarioTitle(const Scenario& scenario) {
  const std::string files =
      scenario.contents.size() == kTinyFiles ? "300 files of 4 KiB" : "1,000 files of 10 KiB and 10 of 10 MiB";
  if (scenario.delayMs == 0) return files + ", at 0 ms (loopback)";
  return files + ", at " + std::to_string(scenario.delayMs) +
         " ms (before each connection's first request and each answer)";
}

// The figures of the runs with cut connections, at 0 ms.
struct CutFigures {
  std::vector<double> update, curl, curlAllErrors;
  CurlRun cut, cutAllErrors;
};

struct Figures {
  CleanFigures clean[4];
  CutFigures cut;
  double finaliseSeconds = 0;
  int finalised = 0;
};

// The run's directories: its own work directory, under the one given or the
// temp directory and emptied, with the install for the finalisation and the
// tools' own directories in it.
std::wstring PrepareDirectories(int argc, wchar_t** argv, Tools* tools) {
  tools->curl = argc > 1 ? argv[1] : L"" ZQ_BENCH_CURL;
  tools->program = argc > 3 ? argv[3] : L"" ZQ_BENCH_PROGRAM;
  wchar_t tempPath[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, tempPath);
  const std::wstring work = (argc > 2 ? std::wstring(argv[2]) + L"\\" : std::wstring(tempPath)) + L"zq-update-bench\\";
  RemoveTree(work);
  tools->module = work + L"install\\";
  tools->temp = tools->module + L"temp\\";
  tools->curlOut = work + L"curl\\";
  tools->programInstall = work + L"program\\";
  CreateDirectoryW(work.c_str(), nullptr);
  CreateDirectoryW(tools->module.c_str(), nullptr);
  CreateDirectoryW(tools->temp.c_str(), nullptr);
  CreateDirectoryW(tools->curlOut.c_str(), nullptr);
  return work;
}

// Both releases at 0 ms and at kLatencyMs: scenarios[1] is the large one on loopback.
bool OpenScenarios(const std::wstring& work, const Tools& tools, Scenario (&scenarios)[4]) {
  std::printf("making %d files of %zu KiB and %d of %zu MiB, and %d of %zu KiB...\n", kSmallFiles, kSmallSize / 1024,
              kLargeFiles, kLargeSize / (1024 * 1024), kTinyFiles, kTinySize / 1024);
  const std::vector<std::string> large = LargeRelease();
  const std::vector<std::string> tiny = TinyRelease();
  return OpenScenario(0, tiny, work, tools.curlOut, &scenarios[0]) &&
         OpenScenario(0, large, work, tools.curlOut, &scenarios[1]) &&
         OpenScenario(kLatencyMs, tiny, work, tools.curlOut, &scenarios[2]) &&
         OpenScenario(kLatencyMs, large, work, tools.curlOut, &scenarios[3]);
}

// The finalisation of the files the last update staged, as the next plain
// start runs it. False when the pending manifest cannot be written.
bool MeasureFinalisation(const Scenario& loopback, const Tools& tools, Figures* figures) {
  if (!WritePendingManifest(loopback.entries, tools.temp)) return false;
  const Clock::time_point start = Clock::now();
  figures->finalised =
      FinaliseInDirectories(tools.module, tools.temp, PackageManifest(), nullptr, ReleaseTrust::Unsigned());
  figures->finaliseSeconds = SecondsSince(start);
  return true;
}

// One round of the cut runs on loopback: 0, or the exit code to end with.
int MeasureCut(const Scenario& loopback, const Tools& tools, CutFigures* cut) {
  // curl.exe's command for the cut runs: one process, the same URLs one after another.
  const std::wstring curlCommand = L"\"" + tools.curl + L"\" -s -f -K \"" + loopback.curlConfig + L"\"";
  double seconds = 0;
  CutEveryLargeFileOnce(*loopback.server);
  if (!TimeUpdate(loopback.remote, 1, tools.temp, &seconds)) return 1;
  cut->update.push_back(seconds);
  CutEveryLargeFileOnce(*loopback.server);
  if (!TimeCurl(curlCommand + L" --retry 3 -C -", loopback.contents, tools.curlOut, &cut->cut)) return 2;
  cut->curl.push_back(cut->cut.seconds);
  CutEveryLargeFileOnce(*loopback.server);
  if (!TimeCurl(curlCommand + L" --retry 3 -C - --retry-all-errors", loopback.contents, tools.curlOut,
                &cut->cutAllErrors)) {
    return 2;
  }
  cut->curlAllErrors.push_back(cut->cutAllErrors.seconds);
  return 0;
}

// Rounds of every measurement in turn, so that a machine busy for a while
// weighs on all of them alike; medians are reported. 0, or the exit code to
// end with.
int MeasureAll(const Scenario (&scenarios)[4], const Tools& tools, Figures* figures) {
  for (int round = 0; round < kRounds; ++round) {
    std::printf("round %d of %d at 0 ms...\n", round + 1, kRounds);
    std::fflush(stdout);
    if (!MeasureClean(scenarios[0], tools, &figures->clean[0]) ||
        !MeasureClean(scenarios[1], tools, &figures->clean[1])) {
      return 1;
    }
    if (round == 0 && !MeasureFinalisation(scenarios[1], tools, figures)) return 1;
    if (const int failed = MeasureCut(scenarios[1], tools, &figures->cut)) return failed;
  }
  for (int round = 0; round < kLatencyRounds; ++round) {
    std::printf("round %d of %d at %d ms (takes minutes)...\n", round + 1, kLatencyRounds, kLatencyMs);
    std::fflush(stdout);
    if (!MeasureClean(scenarios[2], tools, &figures->clean[2]) ||
        !MeasureClean(scenarios[3], tools, &figures->clean[3])) {
      return 1;
    }
  }
  return 0;
}

void PrintCut(const Figures& figures) {
  const CutFigures& cut = figures.cut;
  const double cutUpdateSeconds = Median(cut.update);
  const double curlCutAllSeconds = Median(cut.curlAllErrors);
  std::printf("\nat 0 ms, with the connection cut half-way through every 10 MiB file, once (medians of %d):\n",
              kRounds);
  std::printf("  ours, parallelDownloads = 1 (resumes after a 1 s pause): %.2f s (%.2f x its clean run)\n",
              cutUpdateSeconds, cutUpdateSeconds / Median(figures.clean[1].ours1));
  std::printf("  curl.exe --retry 3 -C -:                                 %.2f s (exit %lu, %d of %d files whole)\n",
              Median(cut.curl), static_cast<unsigned long>(cut.cut.exitCode), cut.cut.wholeFiles,
              kSmallFiles + kLargeFiles);
  std::printf("  curl.exe --retry 3 -C - --retry-all-errors:              %.2f s (exit %lu, %d of %d files whole)\n",
              curlCutAllSeconds, static_cast<unsigned long>(cut.cutAllErrors.exitCode), cut.cutAllErrors.wholeFiles,
              kSmallFiles + kLargeFiles);
  std::printf("  ratio ours/curl --retry-all-errors: %.2f\n", cutUpdateSeconds / curlCutAllSeconds);
}

// Prints every figure; true when every curl run that should fetch everything did.
bool PrintFigures(const Scenario (&scenarios)[4], const Figures& figures) {
  bool curlWhole = figures.cut.cutAllErrors.exitCode == 0;
  for (int i = 0; i < 4; ++i) {
    PrintClean(ScenarioTitle(scenarios[i]), scenarios[i].delayMs == 0 ? kRounds : kLatencyRounds, figures.clean[i]);
    curlWhole = curlWhole && CurlSucceeded(figures.clean[i].oneByOne, scenarios[i].contents.size()) &&
                CurlSucceeded(figures.clean[i].parallel, scenarios[i].contents.size());
  }
  std::printf("\nfinalisation of the large release (including its fixed 1 s pause): %.2f s (result %d)\n",
              figures.finaliseSeconds, figures.finalised);
  PrintCut(figures);
  return curlWhole;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Tools tools;
  const std::wstring work = PrepareDirectories(argc, argv, &tools);
  Scenario scenarios[4];
  if (!OpenScenarios(work, tools, scenarios)) {
    std::fprintf(stderr, "cannot start the local servers or write curl's URL lists\n");
    return 2;
  }

  // The program is a windowed process without standard error, so the
  // downloads' libcurl trace is dropped there at once; so it is here.
  std::fflush(stderr);
  _close(2);

  // As the worker thread does for its whole run.
  const CurlGlobalScope curlGlobal;
  Figures figures;
  if (const int failed = MeasureAll(scenarios, tools, &figures)) return failed;
  const bool curlWhole = PrintFigures(scenarios, figures);
  for (Scenario& scenario : scenarios) scenario.server->Stop();
  RemoveTree(work);
  return curlWhole ? 0 : 1;
}
