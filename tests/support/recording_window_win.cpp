#include "tests/support/recording_window_win.h"

#include <commctrl.h>

#include "update/update_messages.h"

namespace {

std::vector<RecordedMessage> recorded;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == PBM_SETRANGE32 || message == PBM_SETPOS || message == kUpdateReadyMessage ||
      message == kUpdateFailedMessage) {
    // Only the ready message's lParam may point to text; 1 and 0 are flags.
    const bool carriesText = message == kUpdateReadyMessage && lParam > 1;
    recorded.push_back({window, message, wParam, lParam, carriesText ? reinterpret_cast<const wchar_t*>(lParam) : L""});
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

const std::vector<RecordedMessage>& RecordedMessages() {
  return recorded;
}

void ClearRecordedMessages() {
  recorded.clear();
}

RecordingWindow::RecordingWindow() {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &RecordingProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"ZqTestRecorder";
  RegisterClassW(&windowClass);  // fails harmlessly once registered
  window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            windowClass.hInstance, nullptr);
}

RecordingWindow::~RecordingWindow() {
  DestroyWindow(window_);
}
