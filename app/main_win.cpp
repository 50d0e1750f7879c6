// Entry point: acts on the command line, keeps one resident copy, creates the
// hidden windows and runs the message loop. The order matters: the command line
// is acted on before the single-instance test, so a second copy still opens a
// shell and only then ends.

#include <windows.h>

#include <string>

#include "app/app_globals.h"
#include "app/progress_dialog.h"
#include "app/single_instance.h"
#include "app/tray_window.h"
#include "launch/dispatch.h"

HINSTANCE g_instance = nullptr;
HWND g_progressDialog = nullptr;
HWND g_progressBar = nullptr;

namespace {

constexpr int kSecondCopyExitCode = -1;
constexpr int kNoWindowClassExitCode = 0;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLineArgument, int) {
  g_instance = instance;
  const std::wstring commandLine = commandLineArgument != nullptr ? commandLineArgument : L"";

  DispatchCommandLine(commandLine);

  if (AcquireSingleInstance() == nullptr) return kSecondCopyExitCode;

  if (!RegisterTrayWindowClass(instance)) return kNoWindowClassExitCode;
  CreateTrayWindow(instance);

  g_progressDialog = CreateProgressDialog(instance);
  ShowWindow(g_progressDialog, SW_HIDE);

  MSG msg = {};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}
