// Entry point: installs a pending update, acts on the command line, keeps one
// resident copy, creates the hidden windows, checks for an update and runs the
// message loop. The order matters: the command line is acted on before the
// single-instance test, so a second copy still opens a shell and only then ends.

#include <windows.h>

#include <string>

#include "app/app_globals.h"
#include "app/progress_dialog.h"
#include "app/single_instance.h"
#include "app/tray_window.h"
#include "launch/dispatch.h"
#include "platform/event_log.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "update/install/finalise_update.h"
#include "update/proof/release_key.h"
#include "update/update_manager.h"

HINSTANCE g_instance = nullptr;
HWND g_progressDialog = nullptr;
HWND g_progressBar = nullptr;

// Constructed before wWinMain: it makes sure temp\ exists at every start.
// Never destroyed while the process lives: see the end of wWinMain.
UpdateManager g_updateManager(ReleaseTrust::FromKeyText(BuiltInReleaseKey()));

namespace {

constexpr int kSecondCopyExitCode = -1;
constexpr int kNoWindowClassExitCode = 0;

// What the log says of a start. A link's own text may carry a classroom's
// token, so only its kind is written.
const char* StartKind(const std::wstring& commandLine) {
  switch (ClassifyCommandLine(commandLine)) {
    case DispatchAction::kOpenHomeShell: return "plain";
    case DispatchAction::kOpenLiveShell: return "link";
    case DispatchAction::kTerminateLiveShell: return "link not in lower case (ends the live shells)";
    case DispatchAction::kNothing: break;
  }
  return "other arguments (no shell)";
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLineArgument, int) {
  g_instance = instance;
  const std::wstring commandLine = commandLineArgument != nullptr ? commandLineArgument : L"";
  StartEventLog(WideToNarrow(GetTempDirectory() + kEventLogName));
  LogEvent(std::string("start: ") + StartKind(commandLine) + ", process " + std::to_string(GetCurrentProcessId()));
  // An earlier update that replaced this program left the old image in temp\.
  RemoveRetiredPrograms(UpdateManager::GetTempDirectory());

  // Only a plain start installs a pending update: not a link, not even blanks.
  if (commandLine.empty()) g_updateManager.FinalisePendingUpdate();

  DispatchCommandLine(commandLine);

  if (AcquireSingleInstance() == nullptr) {
    LogEvent("start: a copy is already resident; this second copy ends");
    return kSecondCopyExitCode;
  }

  if (!RegisterTrayWindowClass(instance)) return kNoWindowClassExitCode;
  const HWND trayWindow = CreateTrayWindow(instance);

  g_progressDialog = CreateProgressDialog(instance);
  ShowWindow(g_progressDialog, SW_HIDE);

  g_updateManager.SetTrayWindow(trayWindow);
  g_updateManager.SetProgressBar(g_progressBar);

  // Blocks for at most the manifest fetch's 3 seconds; the icon is already
  // there but answers only once the loop runs.
  if (g_updateManager.CheckForUpdate()) {
    // Nothing waits for the worker: it ends with the process, and its handle
    // is closed at once.
    const UniqueHandle worker(CreateThread(nullptr, 0, UpdateThreadProc, &g_updateManager, 0, nullptr));
  }

  MSG msg = {};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  // The worker may still be downloading. Returning would run the C runtime's
  // exit: static destructors (g_updateManager's fields among them) and the
  // closing of every open stream, the worker's download included, while the
  // worker still uses them. ExitProcess ends every other thread first, so
  // nothing is torn down under it; there is nothing of ours left to flush.
  ExitProcess(static_cast<UINT>(msg.wParam));
}
