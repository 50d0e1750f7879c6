// The yardsticks of startup_bench: a Win32 program that ends at once (what
// Wine costs any program) and, with "--window", one that first creates and
// destroys one hidden window (what Wine costs any program with a window:
// user32, the display driver and the theme).

#include <windows.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  if (commandLine == nullptr || std::wcscmp(commandLine, L"--window") != 0) return 0;
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"StartupBenchYardstick";
  if (RegisterClassW(&windowClass) == 0) return 1;
  const HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, windowClass.lpszClassName, L"", WS_POPUP, CW_USEDEFAULT,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  DestroyWindow(window);
  return 0;
}
