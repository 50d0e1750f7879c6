#pragma once

#include <windows.h>

// The hidden tray window: never shown, no taskbar button. It owns the
// notification icon and is where the updater reports. Main thread only.

inline constexpr wchar_t kTrayWindowClass[] = L"Zenquilo教育";
inline constexpr wchar_t kTrayWindowTitle[] = L"Zenquilo教育";

LRESULT CALLBACK TrayWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// false when the class cannot be registered.
bool RegisterTrayWindowClass(HINSTANCE instance);

// The window is created hidden; its result is not checked by the caller.
HWND CreateTrayWindow(HINSTANCE instance);
