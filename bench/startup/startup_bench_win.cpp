// How fast ZenquiloStudent becomes a tray companion: a program to run by hand
// under Wine, not a test. It measures, from CreateProcessW, the time until the
// tray window exists (its WM_CREATE adds the icon) and until the manifest
// request reaches an in-process local server that answers at once with a
// manifest that needs no update; beside it, the start-to-exit time of a Win32
// program that does nothing, and of one that only creates one window. Prints
// medians and ratios.
//
//   startup_bench.exe [--runs N] [BUILD_DIR]
//
// BUILD_DIR (a Windows or a Linux path) holds ZenquiloStudent.exe,
// startup_bench_trivial.exe and fixtures\; default: this program's directory.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/server/test_http_server.h"
#include "tests/support/wine_support.h"

namespace {

constexpr wchar_t kTrayWindowName[] = L"Zenquilo教育";
constexpr char kManifestPath[] = "/soft/package.json";
// The same version on both sides: the check finds nothing to do.
constexpr char kManifest[] = "{\"version\": \"1\", \"full_update\": false, \"type\": \"none\", \"file_list\": []}";
constexpr DWORD kRunTimeoutMs = 20000;
constexpr double kTargetMs = 200.0;

class Stopwatch {
 public:
  Stopwatch() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  double ElapsedMs() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency_.QuadPart);
  }

 private:
  LARGE_INTEGER frequency_ = {};
  LARGE_INTEGER start_ = {};
};

std::wstring Directory(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring AsDirectory(std::wstring path) {
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;  // Wine maps / to Z:
  std::replace(path.begin(), path.end(), L'/', L'\\');
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path;
}

// Ends every stand-in shell that recorded a start here ("<exe>.<counter>.<pid>.cmdline")
// and forgets the records, so each run starts from the same state.
void EndShells(const std::wstring& directory) {
  for (const std::wstring& name : FilesMatching(directory, L"*.cmdline")) {
    const size_t end = name.rfind(L".cmdline");
    const size_t start = name.rfind(L'.', end - 1);
    TerminateProcessById(static_cast<DWORD>(wcstoul(name.c_str() + start + 1, nullptr, 10)));
    DeleteFileW((directory + name).c_str());
  }
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

struct StartTimes {
  bool haveWindow = false;
  bool haveRequest = false;
  double trayWindowMs = 0.0;
  double requestMs = 0.0;
};

// Polls until both the tray window and the manifest request have come, the
// program has ended, or the time is up.
void AwaitResidentStart(const RunningProgram& process, const Stopwatch& clock, test_http::TestHttpServer& server,
                        StartTimes* times) {
  while (!(times->haveWindow && times->haveRequest) && clock.ElapsedMs() < kRunTimeoutMs) {
    if (!times->haveWindow && FindWindowW(kTrayWindowName, kTrayWindowName) != nullptr) {
      times->trayWindowMs = clock.ElapsedMs();
      times->haveWindow = true;
    }
    if (!times->haveRequest && server.RequestCount() > 0) {
      times->requestMs = clock.ElapsedMs();
      times->haveRequest = true;
    }
    if (!process.IsRunning()) break;
    // Each FindWindowW is a wineserver round trip: polling faster than this
    // takes time away from the program being measured (2 cores here).
    Sleep(5);
  }
}

// One resident start: true when both the tray window and the request came.
bool MeasureResidentStart(const std::wstring& program, const std::wstring& arguments, test_http::TestHttpServer& server,
                          StartTimes* times) {
  // The previous copy must be gone, or this one ends at once as a second copy.
  if (FindWindowW(kTrayWindowName, kTrayWindowName) != nullptr) {
    std::fwprintf(stderr, L"a tray window of another copy exists; end it first\n");
    return false;
  }
  server.ClearRequests();
  const Stopwatch clock;
  const RunningProgram process = StartProgram(program, arguments);
  if (!process.started()) {
    std::fwprintf(stderr, L"cannot start %ls\n", program.c_str());
    return false;
  }
  AwaitResidentStart(process, clock, server, times);
  if (!times->haveWindow || !times->haveRequest) {
    std::fwprintf(stderr, L"run of %ls %ls: tray window %ls, manifest request %ls\n", program.c_str(),
                  arguments.c_str(), times->haveWindow ? L"seen" : L"NOT seen",
                  times->haveRequest ? L"seen" : L"NOT seen");
  }
  // Let the check finish, so no connection of this run is open during the next.
  Sleep(100);
  return times->haveWindow && times->haveRequest;
}

bool MeasureTrivialStart(const std::wstring& trivial, const std::wstring& arguments, double* elapsedMs) {
  const Stopwatch clock;
  RunningProgram process = StartProgram(trivial, arguments);
  if (!process.started()) {
    std::fwprintf(stderr, L"cannot start %ls\n", trivial.c_str());
    return false;
  }
  if (!process.WaitForExit(kRunTimeoutMs, nullptr)) return false;
  *elapsedMs = clock.ElapsedMs();
  // Read once the clock has stopped: it is not part of the start.
  DWORD exitCode = 1;
  return process.WaitForExit(0, &exitCode) && exitCode == 0;
}

struct Series {
  std::vector<double> trayWindow;
  std::vector<double> request;
};

// "--bench" opens nothing: the program's own work. The plain start also runs
// the pending-update check and opens the learning shell (a stand-in) first.
struct Mode {
  const wchar_t* label;
  const wchar_t* arguments;
  Series series;
};

struct Figures {
  Mode modes[2] = {{L"--bench", L"--bench", {}}, {L"plain start", L"", {}}};
  std::vector<double> bareTimes;
  std::vector<double> windowTimes;
};

struct Options {
  int runs = 9;
  std::wstring buildDirectory;
};

Options ParseArguments(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--runs" && i + 1 < argc) {
      options.runs = std::max(1, _wtoi(argv[++i]));
    } else {
      options.buildDirectory = AsDirectory(argument);
    }
  }
  if (options.buildDirectory.empty()) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    options.buildDirectory = Directory(self);
  }
  return options;
}

// One unmeasured round first: it loads the files into the page cache and
// starts Wine's services.
bool MeasureRounds(const InstallDirectory& install, const std::wstring& trivial, test_http::TestHttpServer& server,
                   int runs, Figures* figures) {
  bool ok = true;
  for (int round = 0; round <= runs && ok; ++round) {
    double bareMs = 0.0;
    double windowMs = 0.0;
    ok = MeasureTrivialStart(trivial, L"", &bareMs) && MeasureTrivialStart(trivial, L"--window", &windowMs);
    if (ok && round > 0) {
      figures->bareTimes.push_back(bareMs);
      figures->windowTimes.push_back(windowMs);
    }
    for (Mode& mode : figures->modes) {
      StartTimes times;
      ok = ok && MeasureResidentStart(install.Program(), mode.arguments, server, &times);
      EndShells(install.Path());
      if (ok && round > 0) {
        mode.series.trayWindow.push_back(times.trayWindowMs);
        mode.series.request.push_back(times.requestMs);
      }
    }
  }
  return ok;
}

// Exit code 0 when every round ran, 1 when one failed, 2 when the build
// directory or the local server is not fit to measure with.
int MeasureInScratchInstall(const Options& options, Figures* figures) {
  const std::wstring trivial = options.buildDirectory + L"startup_bench_trivial.exe";
  // The program and its stand-in shells, in a directory of their own.
  const InstallDirectory install(options.buildDirectory.substr(0, options.buildDirectory.size() - 1),
                                 L"zq-startup-bench");
  const bool copied = GetFileAttributesW(install.Program().c_str()) != INVALID_FILE_ATTRIBUTES &&
                      GetFileAttributesW(install.LearningShell().c_str()) != INVALID_FILE_ATTRIBUTES &&
                      GetFileAttributesW(install.LiveShell().c_str()) != INVALID_FILE_ATTRIBUTES;
  if (!copied || GetFileAttributesW(trivial.c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::fwprintf(stderr, L"%ls lacks ZenquiloStudent.exe, startup_bench_trivial.exe or fixtures\\\n",
                  options.buildDirectory.c_str());
    return 2;
  }
  test_http::TestHttpServer server;
  if (!server.Start()) {
    std::fwprintf(stderr, L"the local server cannot listen\n");
    return 2;
  }
  server.SetResource(kManifestPath, kManifest);
  WriteFileWhole(install.Path() + L"package.json", kManifest);
  WriteFileWhole(install.Path() + L"zenquilostudent.ini",
                 "[global]\r\nURL_UPDATE_PACKAGE=" + server.BaseUrl() + kManifestPath + "\r\n");
  const bool ok = MeasureRounds(install, trivial, server, options.runs, figures);
  server.Stop();
  return ok ? 0 : 1;
}

void PrintLine(const std::wstring& what, double ms, double bareMs, double windowMs) {
  std::wprintf(L"  %-48ls %7.1f ms  %5.1fx  %5.1fx\n", what.c_str(), ms, bareMs > 0 ? ms / bareMs : 0.0,
               windowMs > 0 ? ms / windowMs : 0.0);
}

void PrintFigures(int runs, const Figures& figures) {
  const double bareMs = Median(figures.bareTimes);
  const double windowMs = Median(figures.windowTimes);
  const double iconMs = Median(figures.modes[0].series.trayWindow);
  std::wprintf(L"ZenquiloStudent start-up under Wine, median of %d runs, from CreateProcessW\n", runs);
  std::wprintf(L"  %-48ls %10ls  %6ls  %6ls\n", L"", L"", L"/ bare", L"/ window");
  PrintLine(L"trivial program, to its exit (bare)", bareMs, bareMs, windowMs);
  PrintLine(L"trivial program with one window, to its exit", windowMs, bareMs, windowMs);
  for (const Mode& mode : figures.modes) {
    PrintLine(std::wstring(mode.label) + L": tray window with its icon", Median(mode.series.trayWindow), bareMs,
              windowMs);
    PrintLine(std::wstring(mode.label) + L": manifest request at the server", Median(mode.series.request), bareMs,
              windowMs);
  }
  std::wprintf(L"target: under %.0f ms to the icon (--bench): %ls\n", kTargetMs,
               iconMs < kTargetMs ? L"met" : L"NOT met");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Options options = ParseArguments(argc, argv);
  Figures figures;
  const int status = MeasureInScratchInstall(options, &figures);
  if (status == 1) std::fwprintf(stderr, L"benchmark aborted\n");
  if (status != 0) return status;
  PrintFigures(options.runs, figures);
  return 0;
}
