// Stand-in for the learning and live-classroom shells in tests and demos.
// Each start records its exact command line, then waits to be terminated.
//
// Record: "<exe name>.<counter>.<pid>.cmdline" beside the executable, holding
// GetCommandLineW as UTF-16LE without a terminator. The counter is the
// performance counter at start, 20 digits, so names sort in start order. The
// file appears whole: it is written under another name and then renamed.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring ExecutablePath() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

bool WriteWhole(const std::wstring& path, const void* data, DWORD size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, data, size, &written, nullptr) && written == size;
  CloseHandle(file);
  return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring commandLine = GetCommandLineW();
  const std::wstring executable = ExecutablePath();

  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  wchar_t suffix[64];
  swprintf(suffix, 64, L".%020lld.%lu.cmdline", static_cast<long long>(counter.QuadPart),
           static_cast<unsigned long>(GetCurrentProcessId()));

  const std::wstring record = executable + suffix;
  const std::wstring partial = record + L".partial";
  if (WriteWhole(partial, commandLine.data(), static_cast<DWORD>(commandLine.size() * sizeof(wchar_t)))) {
    MoveFileExW(partial.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING);
  }

  // A shell runs until it is closed; the program under test terminates it.
  for (;;) Sleep(INFINITE);
}
