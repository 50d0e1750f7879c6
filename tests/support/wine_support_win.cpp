#include "tests/support/wine_support.h"

#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

std::wstring WinePathFromUnix(const std::string& unixPath) {
  std::wstring path = L"Z:";
  for (char c : unixPath) path += (c == '/') ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return path;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

bool IsProcessRunning(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

void TerminateProcessById(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return;
  TerminateProcess(process, 1);
  WaitForSingleObject(process, 10000);
  CloseHandle(process);
}

bool IsOtherArchitecture(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  BOOL theirs = FALSE;
  BOOL ours = FALSE;
  const bool known = IsWow64Process(process, &theirs) && IsWow64Process(GetCurrentProcess(), &ours);
  CloseHandle(process);
  return known && theirs != ours;
}

std::string WhyOtherArchitectureCannotRun() {
  // A 32-bit test program is running, so 32-bit programs run; its peer is 64-bit.
  if (sizeof(void*) == 4) return std::string();
  const char* runs = std::getenv("ZQ_X86_RUNS");
  if (runs == nullptr || std::string(runs) != "no") return std::string();
  const char* why = std::getenv("ZQ_X86_WHY");
  return std::string("a 32-bit process cannot run here: ") + (why != nullptr ? why : "no reason given");
}

std::wstring ShortPathOf(const std::wstring& path) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
  return (length == 0 || length >= MAX_PATH) ? std::wstring() : std::wstring(buffer);
}

namespace {

struct WindowSearch {
  DWORD pid;
  const wchar_t* className;
  HWND found;
};

// A callback of Win32's own calling convention (stdcall on x86), which a
// lambda does not have.
BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<WindowSearch*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  if (owner != search->pid || std::wstring(name) != search->className) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

HWND TopLevelWindowOf(DWORD pid, const wchar_t* className) {
  WindowSearch search = {pid, className, nullptr};
  EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

RunningProgram::RunningProgram(RunningProgram&& other) noexcept : info_(other.info_) {
  other.info_ = {};
}

RunningProgram& RunningProgram::operator=(RunningProgram&& other) noexcept {
  if (this != &other) {
    Terminate();
    info_ = other.info_;
    other.info_ = {};
  }
  return *this;
}

RunningProgram::~RunningProgram() {
  Terminate();
}

bool RunningProgram::IsRunning() const {
  return started() && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

bool RunningProgram::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
  if (!started() || WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
  if (exitCode != nullptr) GetExitCodeProcess(info_.hProcess, exitCode);
  return true;
}

void RunningProgram::Terminate() {
  if (!started()) return;
  if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
    TerminateProcess(info_.hProcess, 1);
    WaitForSingleObject(info_.hProcess, 10000);
  }
  CloseHandle(info_.hProcess);
  CloseHandle(info_.hThread);
  info_ = {};
}

RunningProgram StartProgram(const std::wstring& executable, const std::wstring& arguments, HANDLE output) {
  std::wstring commandLine = L"\"" + executable + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  RunningProgram program;
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (output != nullptr) {
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdOutput = startup.hStdError = output;
    }
    if (CreateProcessW(executable.c_str(), buffer.data(), nullptr, nullptr, output != nullptr, 0, nullptr, nullptr,
                       &startup, &program.info_)) {
      return program;
    }
    // Wine: right after the server restarts, a start can fail once with 1359.
    if (GetLastError() != ERROR_INTERNAL_ERROR) break;
    Sleep(100);
  }
  ADD_FAILURE() << "could not start the program, error " << GetLastError();
  return program;
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char block[65536];
  DWORD count = 0;
  while (ReadFile(file, block, sizeof block, &count, nullptr) && count > 0) bytes.append(block, count);
  CloseHandle(file);
  return bytes;
}

bool WriteFileWhole(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  CloseHandle(file);
  return ok;
}

std::vector<ShellStart> ReadShellStarts(const std::wstring& directory, const std::wstring& executableName) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((directory + executableName + L".*.cmdline").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  std::sort(names.begin(), names.end());

  std::vector<ShellStart> starts;
  for (const std::wstring& name : names) {
    // "<exe>.<counter>.<pid>.cmdline"
    const size_t end = name.size() - std::wstring(L".cmdline").size();
    const size_t dot = name.rfind(L'.', end - 1);
    ShellStart start;
    start.pid = static_cast<DWORD>(std::wcstoul(name.substr(dot + 1, end - dot - 1).c_str(), nullptr, 10));
    const std::string bytes = ReadFileBytes(directory + name);
    start.commandLine.resize(bytes.size() / sizeof(wchar_t));
    std::copy(bytes.begin(), bytes.begin() + start.commandLine.size() * sizeof(wchar_t),
              reinterpret_cast<char*>(start.commandLine.data()));
    starts.push_back(start);
  }
  return starts;
}

void RemoveTree(const std::wstring& directory) {
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((directory + L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = directory + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path + L"\\");
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(directory.c_str());
}

ScratchDirectory::ScratchDirectory(const std::wstring& nameHint) {
  static std::atomic<int> counter{0};
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  path_ = std::wstring(temp) + nameHint + L" " + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(counter++) + L"\\";
  RemoveTree(path_);
  if (!CreateDirectoryW(path_.c_str(), nullptr)) ADD_FAILURE() << "cannot create the scratch directory";
}

ScratchDirectory::~ScratchDirectory() {
  RemoveTree(path_);
}

std::vector<std::wstring> FilesMatching(const std::wstring& directory, const std::wstring& pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((directory + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

void ScratchDirectory::CopyIn(const std::wstring& source, const std::wstring& name) const {
  if (!CopyFileW(source.c_str(), (path_ + name).c_str(), FALSE)) {
    ADD_FAILURE() << "cannot copy into the scratch directory, error " << GetLastError();
  }
}

void ScratchDirectory::WriteFileBytes(const std::wstring& name, const std::string& bytes) const {
  if (!WriteFileWhole(path_ + name, bytes)) ADD_FAILURE() << "cannot write into the scratch directory";
}

InstallDirectory::InstallDirectory(const std::wstring& buildDirectory, const std::wstring& nameHint)
    : ScratchDirectory(nameHint) {
  CopyIn(buildDirectory + L"\\ZenquiloStudent.exe", L"ZenquiloStudent.exe");
  CopyIn(buildDirectory + L"\\fixtures\\zenquilo.exe", L"zenquilo.exe");
  CopyIn(buildDirectory + L"\\fixtures\\zenquilo_live.exe", L"zenquilo_live.exe");
}

InstallDirectory::~InstallDirectory() {
  TerminateShells();
}

void InstallDirectory::TerminateShells() const {
  for (const ShellStart& start : LearningStarts()) TerminateProcessById(start.pid);
  for (const ShellStart& start : LiveStarts()) TerminateProcessById(start.pid);
}

std::vector<std::wstring> SplitArguments(const std::wstring& commandLine) {
  std::vector<std::wstring> arguments;
  int count = 0;
  LPWSTR* list = CommandLineToArgvW(commandLine.c_str(), &count);
  if (list == nullptr) return arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(list[i]);
  LocalFree(list);
  return arguments;
}
