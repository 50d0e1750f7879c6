#include "update/transfer/download_policy.h"

#include <algorithm>

#include "update/transfer/http_transfer.h"

namespace {

constexpr long kLongestStallSeconds = 3600;
constexpr long long kSlowestBytesPerSecond = 10 * 1024;
constexpr long long kDeadlineMarginSeconds = 60;
// libcurl takes a long, which is 32 bits on Windows; a month is past any real download.
constexpr long long kLongestDeadlineSeconds = 30LL * 24 * 3600;

}  // namespace

long WholeNumberFromSetting(const std::string& text, long lowest, long highest, long fallback) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  if (begin == end) return fallback;
  long value = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return fallback;
    value = value * 10 + (text[i] - '0');
    // Past the bound there is nothing to read on for, and no overflow to meet.
    if (value > highest) return fallback;
  }
  return value >= lowest ? value : fallback;
}

long StallSecondsFromSetting(const std::string& text) {
  return WholeNumberFromSetting(text, 1, kLongestStallSeconds, kDefaultStallSeconds);
}

DownloadLimits LimitsForSize(long long namedSize) {
  if (namedSize < 0) {
    return DownloadLimits{kUnnamedSizeCap, 0, kSlowestBytesPerSecond, static_cast<long>(kDeadlineMarginSeconds)};
  }
  // Divided before anything is added: a size near 2^63 must not overflow.
  const long long seconds =
      namedSize / kSlowestBytesPerSecond + (namedSize % kSlowestBytesPerSecond != 0 ? 1 : 0) + kDeadlineMarginSeconds;
  return DownloadLimits{namedSize, static_cast<long>(std::min(seconds, kLongestDeadlineSeconds))};
}

NextAttempt DecideNextAttempt(const AttemptOutcome& outcome) {
  if (outcome.result == 0) return outcome.proved ? NextAttempt::kDone : NextAttempt::kRestart;
  if (outcome.status == 407 || outcome.result == CURLE_PEER_FAILED_VERIFICATION) return NextAttempt::kGiveUp;
  // What a failed write left on disk is not worth keeping: the disk may have
  // been freed since, and a short file is no base to append to.
  if (outcome.status == 416 || outcome.result == CURLE_FILESIZE_EXCEEDED || outcome.result == CURLE_WRITE_ERROR) {
    return NextAttempt::kRestart;
  }
  return outcome.bytesOnDisk > 0 && outcome.hasValidator ? NextAttempt::kResume : NextAttempt::kRestart;
}

std::string TransferResultText(int result, long status) {
  std::string text = result == kDownloadNotProved ? std::string("the bytes failed their proof")
                                                  : "libcurl " + std::to_string(result) + " (" +
                                                        curl_easy_strerror(static_cast<CURLcode>(result)) + ")";
  if (status != 0 && (status < 200 || status >= 300)) text += " after HTTP " + std::to_string(status);
  return text;
}
