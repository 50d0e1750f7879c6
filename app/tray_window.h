#pragma once

#include <windows.h>
#include <shellapi.h>

// The hidden tray window: never shown, no taskbar button. It owns the
// notification icon and its menu, asks before the program exits, and is where
// the update worker reports. Main thread only; the worker's messages arrive
// through SendMessageW while the worker waits.

inline constexpr wchar_t kTrayWindowClass[] = L"Zenquilo教育";
inline constexpr wchar_t kTrayWindowTitle[] = L"Zenquilo教育";
inline constexpr wchar_t kTrayTip[] = L"Zenquilo教育";
inline constexpr wchar_t kMenuOpenLearningCenter[] = L"Zenquilo教育-学习中心";
inline constexpr wchar_t kMenuExit[] = L"退出";
inline constexpr wchar_t kExitQuestion[] = L"确定要退出Zenquilo教育吗？";
inline constexpr wchar_t kUpdateNotice[] = L"Zenquilo教育软件有重要更新，确定后立刻升级！";
inline constexpr wchar_t kMessageCaption[] = L"Zenquilo提醒";

// The notification icon record and the popup menu, one of each per process.
extern NOTIFYICONDATAW g_notifyIcon;
extern HMENU g_trayMenu;

LRESULT CALLBACK TrayWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// false when the class cannot be registered.
bool RegisterTrayWindowClass(HINSTANCE instance);

// The window is created hidden; its WM_CREATE adds the icon and builds the menu.
HWND CreateTrayWindow(HINSTANCE instance);
