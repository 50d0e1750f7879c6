#pragma once

// Helpers for tests that run real Windows programs under Wine: throw-away
// install directories, starting and ending processes, and reading what the
// stand-in shells recorded.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// "/work/x" -> "Z:\work\x": Wine maps the Linux root to drive Z:.
std::wstring WinePathFromUnix(const std::string& unixPath);

// Polls condition every 20 ms until it holds or timeoutMs has passed.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 20000);

bool IsProcessRunning(DWORD pid);
// True when process pid is of the other architecture than this test program
// (one runs under WoW64, the other does not).
bool IsOtherArchitecture(DWORD pid);
void TerminateProcessById(DWORD pid);

// Why a test that needs a process of the other architecture cannot run here,
// or empty when it can. Where a 64-bit test meets a kernel that executes no
// 32-bit program, the test scripts' probe says so in ZQ_X86_RUNS and ZQ_X86_WHY.
std::string WhyOtherArchitectureCannotRun();

std::wstring ShortPathOf(const std::wstring& path);

// A top-level window of process pid whose class is className; nullptr when
// it has none. A window of an earlier, ended process never matches.
HWND TopLevelWindowOf(DWORD pid, const wchar_t* className);

// Names of the files in directory (ending in a backslash) that match pattern
// ("*.zqold"), as FindFirstFileW matches them.
std::vector<std::wstring> FilesMatching(const std::wstring& directory, const std::wstring& pattern);

// Deletes directory (ending in a backslash) with everything in it, read-only
// files included; what cannot be deleted is left.
void RemoveTree(const std::wstring& directory);

// Whole-file reads and writes of bytes as they are; empty text / false on failure.
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileWhole(const std::wstring& path, const std::string& bytes);

// A process started by a test. Terminated, if still running, when destroyed.
class RunningProgram {
 public:
  RunningProgram() = default;
  RunningProgram(RunningProgram&& other) noexcept;
  RunningProgram& operator=(RunningProgram&& other) noexcept;
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  ~RunningProgram();

  bool started() const { return info_.hProcess != nullptr; }
  DWORD pid() const { return info_.dwProcessId; }
  bool IsRunning() const;
  // True when the process ended within timeoutMs; its exit code is then in exitCode.
  bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
  void Terminate();

 private:
  friend RunningProgram StartProgram(const std::wstring&, const std::wstring&, HANDLE);
  PROCESS_INFORMATION info_ = {};
};

// Starts executable with the command line "\"executable\"" followed, when
// arguments is not empty, by one blank and arguments.
// output not null: the program's standard output and error lead there (an
// inheritable handle), as a launcher that captures them hands them on.
RunningProgram StartProgram(const std::wstring& executable, const std::wstring& arguments, HANDLE output = nullptr);

// One start of a stand-in shell, in start order.
struct ShellStart {
  DWORD pid = 0;
  std::wstring commandLine;
};
std::vector<ShellStart> ReadShellStarts(const std::wstring& directory, const std::wstring& executableName);

// A fresh directory under the Wine user's temp directory, removed with all
// it holds when destroyed. Path() ends in a backslash.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::wstring& nameHint);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::wstring& Path() const { return path_; }
  void CopyIn(const std::wstring& source, const std::wstring& name) const;
  // Writes bytes as they are.
  void WriteFileBytes(const std::wstring& name, const std::string& bytes) const;

 private:
  std::wstring path_;
};

// An install directory holding the program and the two stand-in shells from
// the build directory. Every shell it recorded is terminated when destroyed.
class InstallDirectory : public ScratchDirectory {
 public:
  InstallDirectory(const std::wstring& buildDirectory, const std::wstring& nameHint);
  ~InstallDirectory();

  std::wstring Program() const { return Path() + L"ZenquiloStudent.exe"; }
  std::wstring LearningShell() const { return Path() + L"zenquilo.exe"; }
  std::wstring LiveShell() const { return Path() + L"zenquilo_live.exe"; }
  std::vector<ShellStart> LearningStarts() const { return ReadShellStarts(Path(), L"zenquilo.exe"); }
  std::vector<ShellStart> LiveStarts() const { return ReadShellStarts(Path(), L"zenquilo_live.exe"); }
  void TerminateShells() const;
};

// The arguments of a command line as the C runtime splits them.
std::vector<std::wstring> SplitArguments(const std::wstring& commandLine);
