#include "app/progress_dialog.h"

#include <commctrl.h>

#include <string>

#include "app/app_globals.h"
#include "resources/resource.h"

INT_PTR CALLBACK ProgressDialogProc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
  if (msg == WM_INITDIALOG) {
    SendMessageW(hwnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_DIALOG))));
    g_progressBar = GetDlgItem(hwnd, -1);
    // Wine: its progress bar honours the template's marquee style even without
    // the common controls 6 manifest, and then ignores PBM_SETPOS. The version
    // 5 control that Windows gives this program has no marquee mode; without
    // the style the bar follows the updater's positions everywhere.
    SetWindowLongPtrW(g_progressBar, GWL_STYLE, GetWindowLongPtrW(g_progressBar, GWL_STYLE) & ~PBS_MARQUEE);
    SendMessageW(g_progressBar, PBM_SETPOS, 0, 0);
  }
  // FALSE throughout: the dialog manager does the rest, focus included.
  return FALSE;
}

namespace {

// The template names the progress bar by its class, which exists only once
// the common controls have registered it. comctl32 is loaded here, after the
// notification icon is up, rather than at process start: it brings the theme
// engine with it, and the icon should not wait for that.
void RegisterProgressBarClass() {
  // From System32 by its full path: a bare name is searched for in the
  // program's directory first, where a planted comctl32.dll would run as
  // administrator.
  wchar_t systemDirectory[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const std::wstring path = std::wstring(systemDirectory, length) + L"\\comctl32.dll";
  HMODULE commonControls = LoadLibraryW(path.c_str());
  if (commonControls == nullptr) return;
  using InitFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const auto init =
      reinterpret_cast<InitFunction>(reinterpret_cast<void*>(GetProcAddress(commonControls, "InitCommonControlsEx")));
  const INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  if (init != nullptr) init(&controls);
}

}  // namespace

HWND CreateProgressDialog(HINSTANCE instance) {
  RegisterProgressBarClass();
  return CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PROGRESS), GetDesktopWindow(), ProgressDialogProc, 0);
}
