#pragma once

// Window messages of the tray window, fixed numbers: the update worker sends
// them with SendMessageW, so the worker waits while the tray window handles them.
inline constexpr unsigned int kTrayNotifyMessage = 0x400;   // WM_TRAYNOTIFY: the icon's callback (WM_USER)
inline constexpr unsigned int kUpdateFailedMessage = 2094;  // WM_UPDATE_FAILED: wParam 1, lParam 1
inline constexpr unsigned int kUpdateReadyMessage =
    2104;  // WM_UPDATE_READY: wParam 1; lParam 1, or the installer's path
