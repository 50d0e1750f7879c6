// What the full-package journey asks of Windows from inside Wine, where the
// windows of the program under test can be seen:
//
//   full_update_probe confirm SECONDS   waits for ZenquiloStudent's update
//                                       notice and presses its OK; 0 pressed,
//                                       1 none came
//   full_update_probe tray SECONDS      waits for ZenquiloStudent's tray
//                                       window and prints the path of the
//                                       program that owns it (UTF-8); 0 found,
//                                       1 none, 2 its program unknown

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/tray_window.h"

namespace {

template <typename Found>
bool WaitFor(DWORD limitMs, Found found) {
  const ULONGLONG deadline = GetTickCount64() + limitMs;
  while (!found()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(100);
  }
  return true;
}

int Confirm(DWORD limitMs) {
  HWND box = nullptr;
  if (!WaitFor(limitMs, [&] {
        box = FindWindowW(L"#32770", kMessageCaption);
        return box != nullptr && IsWindowVisible(box);
      })) {
    return 1;
  }
  wchar_t text[128] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 128);
  if (std::wcscmp(text, kUpdateNotice) != 0) return 1;
  // Posted: the program's handler runs on while the box goes.
  PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  return 0;
}

int Tray(DWORD limitMs) {
  HWND window = nullptr;
  if (!WaitFor(limitMs, [&] { return (window = FindWindowW(kTrayWindowClass, kTrayWindowTitle)) != nullptr; })) {
    return 1;
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return 2;
  wchar_t image[2 * MAX_PATH] = {};
  DWORD length = 2 * MAX_PATH;
  const BOOL known = QueryFullProcessImageNameW(process, 0, image, &length);
  CloseHandle(process);
  char text[6 * MAX_PATH] = {};
  if (!known || WideCharToMultiByte(CP_UTF8, 0, image, -1, text, sizeof text, nullptr, nullptr) == 0) return 2;
  std::printf("%s\n", text);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 3;
  const DWORD limitMs = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) * 1000;
  if (std::wcscmp(argv[1], L"confirm") == 0) return Confirm(limitMs);
  if (std::wcscmp(argv[1], L"tray") == 0) return Tray(limitMs);
  return 3;
}
