#include "app/tray_window.h"

#include "app/app_globals.h"
#include "launch/home_shell.h"
#include "launch/dispatch.h"
#include "launch/process_killer.h"
#include "resources/resource.h"
#include "update/update_manager.h"
#include "update/update_messages.h"

NOTIFYICONDATAW g_notifyIcon = {};
HMENU g_trayMenu = nullptr;

extern UpdateManager g_updateManager;

namespace {

// Registered by name: the number differs from one session to the next.
const UINT kTaskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");

void AddIconAndMenu(HWND hwnd) {
  g_notifyIcon.cbSize = sizeof g_notifyIcon;
  g_notifyIcon.hWnd = hwnd;
  g_notifyIcon.uID = 0;
  g_notifyIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  g_notifyIcon.uCallbackMessage = kTrayNotifyMessage;
  g_notifyIcon.hIcon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_APP));
  lstrcpyW(g_notifyIcon.szTip, kTrayTip);
  Shell_NotifyIconW(NIM_ADD, &g_notifyIcon);

  // After a taskbar restart the menu is built again; the old one is no longer
  // reachable from anywhere, so it is freed rather than leaked.
  HMENU previous = g_trayMenu;
  g_trayMenu = CreatePopupMenu();
  AppendMenuW(g_trayMenu, MF_STRING, IDM_OPEN_LEARNING_CENTER, kMenuOpenLearningCenter);
  AppendMenuW(g_trayMenu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(g_trayMenu, MF_STRING, IDM_EXIT, kMenuExit);
  if (previous != nullptr) DestroyMenu(previous);
}

void CloseShells() {
  KillProcessesByName(kLearningShellName);
  KillProcessesByName(kLiveShellName);
}

void ConfirmExit(HWND hwnd) {
  if (MessageBoxW(hwnd, kExitQuestion, kMessageCaption, MB_OKCANCEL | MB_ICONINFORMATION) != IDOK) return;
  CloseShells();
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
}

void ShowMenu(HWND hwnd) {
  POINT pt = {};
  GetCursorPos(&pt);
  // The window must be in the foreground, or the menu does not close when
  // the user clicks elsewhere.
  SetForegroundWindow(hwnd);
  const UINT command = static_cast<UINT>(TrackPopupMenu(g_trayMenu, TPM_RETURNCMD, pt.x, pt.y, 0, hwnd, nullptr));
  switch (command) {
    case IDM_OPEN_LEARNING_CENTER: LaunchHomeShell(); break;
    case IDM_EXIT: ConfirmExit(hwnd); break;
    case 0:
      // Dismissed: a message of our own lets the menu's modal loop settle.
      PostMessageW(hwnd, WM_LBUTTONDOWN, 0, 0);
      break;
    default: break;
  }
}

void OnUpdateReady(HWND hwnd, LPARAM lParam) {
  ShowWindow(g_progressDialog, SW_HIDE);
  if (g_updateManager.IsFullUpdate()) {
    // lParam is the worker's installer path; the worker waits in SendMessageW,
    // so it stays valid for the whole handling.
    MessageBoxW(hwnd, kUpdateNotice, kMessageCaption, MB_OK | MB_TOPMOST);
    ShellExecuteW(hwnd, L"open", reinterpret_cast<const wchar_t*>(lParam), nullptr, nullptr, SW_SHOWNORMAL);
    CloseShells();
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    return;
  }
  // The files of an incremental update lie staged in temp\; they are
  // installed at the next plain start, which looks for exactly this file.
  g_updateManager.SavePendingManifest();
}

}  // namespace

LRESULT CALLBACK TrayWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CREATE: AddIconAndMenu(hwnd); break;
    case WM_CLOSE:
    case WM_DESTROY:
      // WM_CLOSE's default processing destroys the window, so both arrive;
      // the second deletion finds no icon and changes nothing.
      Shell_NotifyIconW(NIM_DELETE, &g_notifyIcon);
      PostQuitMessage(0);
      break;
    case kTrayNotifyMessage:
      if (lParam == WM_LBUTTONDBLCLK) {
        LaunchHomeShell();
      } else if (lParam == WM_RBUTTONDOWN) {
        ShowMenu(hwnd);
      }
      break;
    case kUpdateReadyMessage: OnUpdateReady(hwnd, lParam); break;
    case kUpdateFailedMessage:
      // The worker has stopped already; a failed update shows nothing.
      break;
    default:
      if (msg == kTaskbarCreatedMessage && kTaskbarCreatedMessage != 0) {
        // The new taskbar knows no icons: add ours again, with a fresh menu.
        SendMessageW(hwnd, WM_CREATE, wParam, lParam);
      }
      break;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

bool RegisterTrayWindowClass(HINSTANCE instance) {
  WNDCLASSW windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = TrayWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = kTrayWindowClass;
  return RegisterClassW(&windowClass) != 0;
}

HWND CreateTrayWindow(HINSTANCE instance) {
  return CreateWindowExW(WS_EX_TOOLWINDOW, kTrayWindowClass, kTrayWindowTitle, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
}
