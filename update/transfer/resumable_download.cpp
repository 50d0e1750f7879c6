#include "update/transfer/resumable_download.h"

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <thread>

#include "platform/narrow_file.h"

namespace {

constexpr long kLongestStallSeconds = 3600;
constexpr long long kSlowestBytesPerSecond = 10 * 1024;
constexpr long long kDeadlineMarginSeconds = 60;
// libcurl takes a long, which is 32 bits on Windows; a month is past any real download.
constexpr long long kLongestDeadlineSeconds = 30LL * 24 * 3600;

}  // namespace

long StallSecondsFromSetting(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  if (begin == end || end - begin > 4) return kDefaultStallSeconds;
  long seconds = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return kDefaultStallSeconds;
    seconds = seconds * 10 + (text[i] - '0');
  }
  return seconds >= 1 && seconds <= kLongestStallSeconds ? seconds : kDefaultStallSeconds;
}

DownloadLimits LimitsForSize(long long namedSize) {
  if (namedSize < 0) return DownloadLimits{kUnnamedSizeCap, 0};
  const long long seconds = (namedSize + kSlowestBytesPerSecond - 1) / kSlowestBytesPerSecond + kDeadlineMarginSeconds;
  return DownloadLimits{namedSize, static_cast<long>(std::min(seconds, kLongestDeadlineSeconds))};
}

NextAttempt DecideNextAttempt(const AttemptOutcome& outcome) {
  if (outcome.result == 0) return outcome.proved ? NextAttempt::kDone : NextAttempt::kRestart;
  if (outcome.status == 416 || outcome.result == CURLE_FILESIZE_EXCEEDED) return NextAttempt::kRestart;
  return outcome.bytesOnDisk > 0 && outcome.hasValidator ? NextAttempt::kResume : NextAttempt::kRestart;
}

int DownloadUntilProved(const std::string& url, const std::string& path, ProgressWindow progressBar,
                        const RetryPolicy& policy, const DownloadLimits& limits,
                        const std::function<bool(const std::string& path)>& prove) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limits.deadlineSeconds);
  HttpTransfer http;
  http.progressWindow = progressBar;
  // The validator of the answer that wrote what is on disk.
  std::string validator;
  NextAttempt next = NextAttempt::kRestart;
  int result = kDownloadNotProved;
  for (std::size_t attempt = 0;; ++attempt) {
    DownloadTarget target;
    target.fileName = path.c_str();
    target.showProgress = progressBar != nullptr ? 1 : 0;
    target.stallSeconds = policy.stallSeconds;
    target.maxBytes = limits.maxBytes;
    if (limits.deadlineSeconds > 0) {
      const long long leftMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (leftMs <= 0) {
        result = CURLE_OPERATION_TIMEDOUT;
        break;
      }
      target.timeoutSeconds = static_cast<long>((leftMs + 999) / 1000);
    }
    if (next == NextAttempt::kResume) {
      target.resumeFrom = NarrowFileSize(path);
      target.ifRange = validator;
    } else {
      RemoveNarrowPath(path);
    }
    result = progressBar != nullptr ? http.DownloadWithProgress(url, target) : http.Download(url, target);
    long long bytesOnDisk = NarrowFileSize(path);
    if (result == 0 && bytesOnDisk < 0) {
      // A whole answer with no body never opens the file: it is an empty file.
      if (std::FILE* empty = OpenNarrowPath(path, "wb")) std::fclose(empty);
      bytesOnDisk = 0;
    }
    // Bytes written by this answer carry its validator; a refused answer wrote none.
    if (target.responseStatus >= 200 && target.responseStatus < 300) validator = target.validator;

    AttemptOutcome outcome;
    outcome.result = result;
    outcome.status = target.responseStatus;
    outcome.proved = result == 0 && prove(path);
    outcome.bytesOnDisk = bytesOnDisk;
    outcome.hasValidator = !validator.empty();
    next = DecideNextAttempt(outcome);
    if (next == NextAttempt::kDone) return 0;
    if (result == 0) result = kDownloadNotProved;
    if (attempt >= policy.pausesMs.size()) break;
    const unsigned pause = policy.pausesMs[attempt];
    if (policy.pause) {
      policy.pause(pause);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
  }
  RemoveNarrowPath(path);
  return result;
}
