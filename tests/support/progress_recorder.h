#pragma once

// A progress-message sender that records instead of moving a bar, for tests
// that install it with SetProgressMessageSender.

#include <cstdint>
#include <vector>

#include "update/transfer/http_transfer.h"

struct ProgressMessage {
  ProgressWindow window;
  unsigned int message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

// Records each message; it runs on the thread that calls the download.
void RecordProgressMessage(ProgressWindow window, unsigned int message, std::uintptr_t wParam, std::intptr_t lParam);

// Every message recorded since the last clear, in order.
const std::vector<ProgressMessage>& RecordedProgress();
void ClearRecordedProgress();

// While it lives, progress goes to RecordProgressMessage, recorded from
// empty; the sender before it is put back when it ends.
class ProgressRecording {
 public:
  ProgressRecording();
  ~ProgressRecording();
  ProgressRecording(const ProgressRecording&) = delete;
  ProgressRecording& operator=(const ProgressRecording&) = delete;

 private:
  ProgressMessageSender previous_;
};
