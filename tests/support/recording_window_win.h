#pragma once

// Message-only windows that record the progress-bar and update-result
// messages sent to them, in the order received across all such windows.

#include <windows.h>

#include <string>
#include <vector>

struct RecordedMessage {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  // For kUpdateReadyMessage with lParam > 1: the wide text lParam points to,
  // read while the sender waits; empty otherwise.
  std::wstring text;
};

// Every recorded message of every RecordingWindow since the last clear.
const std::vector<RecordedMessage>& RecordedMessages();
void ClearRecordedMessages();

// A message-only window of the creating thread, so SendMessageW from that
// thread records directly.
class RecordingWindow {
 public:
  RecordingWindow();
  ~RecordingWindow();
  RecordingWindow(const RecordingWindow&) = delete;
  RecordingWindow& operator=(const RecordingWindow&) = delete;

  HWND get() const { return window_; }

 private:
  HWND window_ = nullptr;
};
