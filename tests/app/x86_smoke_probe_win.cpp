// What the x86 smoke run asks of Windows from outside the program under test:
// an x86-64 helper that starts in hundredths of a second, and can tell whether
// the tray window belongs to a 32-bit process.
//
//   x86_smoke_probe tray SECONDS   waits for the tray window and prints its
//                                  process id; 0 a 32-bit process's, 1 none,
//                                  2 a 64-bit process's, 3 cannot tell
//   x86_smoke_probe short PATH     prints GetShortPathNameW of PATH (UTF-8)
//   x86_smoke_probe running NAME   0 when a process of that file name runs
//   x86_smoke_probe end DIRECTORY  ends every process whose image is in DIRECTORY

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/tray_window.h"

namespace {

int Tray(DWORD limitMs) {
  const ULONGLONG deadline = GetTickCount64() + limitMs;
  HWND window = nullptr;
  while ((window = FindWindowW(kTrayWindowClass, kTrayWindowTitle)) == nullptr) {
    if (GetTickCount64() >= deadline) return 1;
    Sleep(100);
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  BOOL wow64 = FALSE;
  const bool known = process != nullptr && IsWow64Process(process, &wow64);
  if (process != nullptr) CloseHandle(process);
  if (!known) return 3;
  std::printf("%lu\n", static_cast<unsigned long>(pid));
  return wow64 ? 0 : 2;
}

int ShortPath(const wchar_t* path) {
  wchar_t result[MAX_PATH];
  char text[4 * MAX_PATH];
  const DWORD length = GetShortPathNameW(path, result, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  if (WideCharToMultiByte(CP_UTF8, 0, result, -1, text, sizeof text, nullptr, nullptr) == 0) return 1;
  std::printf("%s\n", text);
  return 0;
}

template <typename Visit>
bool ForEachProcess(Visit visit) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (!visit(entry)) break;
  }
  CloseHandle(snapshot);
  return true;
}

int Running(const wchar_t* name) {
  bool found = false;
  if (!ForEachProcess([&](const PROCESSENTRY32W& entry) {
        found = _wcsicmp(entry.szExeFile, name) == 0;
        return !found;
      })) {
    return 2;
  }
  return found ? 0 : 1;
}

int EndIn(const std::wstring& directory) {
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (process == nullptr) return true;
    wchar_t image[2 * MAX_PATH];
    DWORD size = 2 * MAX_PATH;
    if (QueryFullProcessImageNameW(process, 0, image, &size) && size > directory.size() &&
        _wcsnicmp(image, directory.c_str(), directory.size()) == 0 && TerminateProcess(process, 1)) {
      WaitForSingleObject(process, 10000);
    }
    CloseHandle(process);
    return true;
  });
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 64;
  const std::wstring verb = argv[1];
  if (verb == L"tray") return Tray(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
  if (verb == L"short") return ShortPath(argv[2]);
  if (verb == L"running") return Running(argv[2]);
  if (verb == L"end") return EndIn(argv[2]);
  return 64;
}
