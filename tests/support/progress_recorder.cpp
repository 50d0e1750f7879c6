#include "tests/support/progress_recorder.h"

namespace {

std::vector<ProgressMessage> recorded;

}  // namespace

void RecordProgressMessage(ProgressWindow window, unsigned int message, std::uintptr_t wParam, std::intptr_t lParam) {
  recorded.push_back({window, message, wParam, lParam});
}

const std::vector<ProgressMessage>& RecordedProgress() {
  return recorded;
}

void ClearRecordedProgress() {
  recorded.clear();
}

ProgressRecording::ProgressRecording() : previous_(SetProgressMessageSender(&RecordProgressMessage)) {
  ClearRecordedProgress();
}

ProgressRecording::~ProgressRecording() {
  SetProgressMessageSender(previous_);
}
