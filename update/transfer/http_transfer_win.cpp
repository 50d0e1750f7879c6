#include "update/transfer/http_transfer.h"

#include <windows.h>
#include <commctrl.h>

static_assert(kProgressSetRange32 == PBM_SETRANGE32, "PBM_SETRANGE32 as commctrl.h has it");
static_assert(kProgressSetPos == PBM_SETPOS, "PBM_SETPOS as commctrl.h has it");

// Synchronous on purpose: the worker waits until the UI thread has moved the
// bar, so the bar never runs behind the bytes and no message outlives a download.
void SendProgressMessageToWindow(ProgressWindow window, unsigned int message, std::uintptr_t wParam,
                                 std::intptr_t lParam) {
  SendMessageW(static_cast<HWND>(window), message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}
