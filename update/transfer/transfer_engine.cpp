#include "update/transfer/transfer_engine.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "platform/event_log.h"
#include "platform/narrow_file.h"
#include "platform/unique_resource.h"
#include "update/transfer/http_transfer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kGoesOn = -2;
constexpr std::chrono::seconds kShortestAttempt{1};

CURLM* Multi(void* multi) {
  return static_cast<CURLM*>(multi);
}

}  // namespace

struct TransferEngine::Job {
  EngineDownload request;
  bool hasDeadline = false;
  Clock::time_point deadline;
  Clock::time_point added;
  Clock::time_point startAt;
  std::size_t attempt = 0;
  NextAttempt next = NextAttempt::kRestart;
  // The validator of the answer that wrote what is on disk.
  std::string validator;
  DownloadTarget target;
  StreamedDigests digests;
  std::unique_ptr<DownloadAttempt> running;

  // Behind the least rate its limits allow: a server that trickles a byte a
  // second passes every stall limit, and must not hold the worker for ever.
  bool FallsBehind(Clock::time_point now) const {
    const DownloadLimits& limits = request.limits;
    if (limits.minBytesPerSecond <= 0 || !running) return false;
    const long long pastGrace =
        std::chrono::duration_cast<std::chrono::seconds>(now - added).count() - limits.graceSeconds;
    if (pastGrace <= 0) return false;
    // Until an answer replaces them, a resumed attempt's kept bytes count.
    const long long kept = target.appended || target.responseStatus == 0 ? target.resumeFrom : 0;
    return kept + target.bytesWritten < pastGrace * limits.minBytesPerSecond;
  }
};

TransferEngine::TransferEngine(int maxConnections)
    : multi_(nullptr), globalInit_(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {
  multi_ = curl_multi_init();
  if (multi_ != nullptr) {
    const long connections = std::max(1, maxConnections);
    curl_multi_setopt(Multi(multi_), CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
    curl_multi_setopt(Multi(multi_), CURLMOPT_MAX_HOST_CONNECTIONS, connections);
  }
}

TransferEngine::~TransferEngine() {
  CancelAll();
  if (multi_ != nullptr) curl_multi_cleanup(Multi(multi_));
  if (globalInit_) curl_global_cleanup();
}

void TransferEngine::Add(EngineDownload download) {
  auto job = std::make_unique<Job>();
  job->request = std::move(download);
  job->digests = StreamedDigests(job->request.sha256);
  job->added = job->startAt = Clock::now();
  if (job->request.limits.deadlineSeconds > 0) {
    job->hasDeadline = true;
    job->deadline = job->startAt + std::chrono::seconds(job->request.limits.deadlineSeconds);
  }
  jobs_.push_back(std::move(job));
}

bool TransferEngine::StartAttempt(Job& job) {
  DownloadTarget& target = job.target;
  target = DownloadTarget();
  target.fileName = job.request.path.c_str();
  target.showProgress = job.request.progressBar != nullptr ? 1 : 0;
  target.stallSeconds = job.request.retry.stallSeconds;
  target.maxBytes = job.request.limits.maxBytes;
  target.digests = &job.digests;
  if (job.hasDeadline) {
    const long long leftMs = std::chrono::duration_cast<std::chrono::milliseconds>(job.deadline - Clock::now()).count();
    target.timeoutSeconds = static_cast<long>(std::max(1LL, (leftMs + 999) / 1000));
  }
  job.digests.Reset();
  if (job.next == NextAttempt::kResume) {
    target.resumeFrom = NarrowFileSize(job.request.path);
    target.ifRange = job.validator;
    // The kept part is read once, so the whole file's digests need no second pass.
    if (!job.digests.UpdateFromFile(job.request.path, target.resumeFrom)) {
      job.digests.Reset();
      target.resumeFrom = 0;
      RemoveNarrowPath(job.request.path);
    }
  } else {
    RemoveNarrowPath(job.request.path);
  }
  job.running = std::make_unique<DownloadAttempt>(job.request.url, target, job.request.progressBar != nullptr,
                                                  job.request.progressBar);
  if (job.running->handle() == nullptr || multi_ == nullptr ||
      curl_multi_add_handle(Multi(multi_), job.running->handle()) != CURLM_OK) {
    job.running.reset();
    return false;
  }
  return true;
}

int TransferEngine::AfterAttempt(Job& job, int result) {
  const std::string& path = job.request.path;
  long long bytesOnDisk = NarrowFileSize(path);
  if (result == 0 && bytesOnDisk < 0) {
    // A whole answer with no body never opens the file: it is an empty file.
    const UniqueFile empty(OpenNarrowPath(path, "wb"));
    bytesOnDisk = 0;
    job.digests.Reset();
  }
  // Bytes written by this answer carry its validator; a refused answer wrote none.
  if (job.target.responseStatus >= 200 && job.target.responseStatus < 300) job.validator = job.target.validator;

  AttemptOutcome outcome;
  outcome.result = result;
  outcome.status = job.target.responseStatus;
  outcome.proved = result == 0 && job.request.prove(path, job.digests.Finish());
  outcome.bytesOnDisk = bytesOnDisk;
  outcome.hasValidator = !job.validator.empty();
  job.next = DecideNextAttempt(outcome);
  if (job.next == NextAttempt::kDone) return 0;
  if (result == 0) result = kDownloadNotProved;
  const std::string attempt = "download " + LoggedUrl(job.request.url) + ": attempt " +
                              std::to_string(job.attempt + 1) + ", " + TransferResultText(result, outcome.status) +
                              ", " + std::to_string(bytesOnDisk < 0 ? 0 : bytesOnDisk) + " bytes on disk; ";
  if (job.next == NextAttempt::kGiveUp || job.attempt >= job.request.retry.pausesMs.size()) {
    LogEvent(attempt + "given up");
    RemoveNarrowPath(path);
    return result;
  }
  const unsigned pause = job.request.retry.pausesMs[job.attempt++];
  LogEvent(attempt + (job.next == NextAttempt::kResume ? "resumes" : "starts again") + " after " +
           std::to_string(pause) + " ms");
  if (job.request.retry.pause) {
    job.request.retry.pause(pause);
    job.startAt = Clock::now();
  } else {
    // The others go on meanwhile; only this one waits.
    job.startAt = Clock::now() + std::chrono::milliseconds(pause);
  }
  return kGoesOn;
}

void TransferEngine::Retire(std::vector<std::unique_ptr<Job>>::iterator job, int result) {
  std::unique_ptr<Job> finished = std::move(*job);
  jobs_.erase(job);
  // May add downloads or cancel them all: the caller holds no iterator past this.
  if (finished->request.done) finished->request.done(result);
}

int TransferEngine::StartIfAllowed(Job& job, std::chrono::steady_clock::time_point now) {
  if (job.request.limits.maxBytes > kUnnamedSizeCap) {
    // A size past every bound is refused before anything is asked for, and
    // like every download that ends, it leaves nothing at its path.
    RemoveNarrowPath(job.request.path);
    return CURLE_FILESIZE_EXCEEDED;
  }
  if (job.hasDeadline && now + kShortestAttempt > job.deadline) {
    // Once the deadline has passed no attempt starts, nor in its last
    // second: libcurl bounds an attempt in whole seconds and may end
    // one a millisecond early, so an attempt then would only run past it.
    RemoveNarrowPath(job.request.path);
    return CURLE_OPERATION_TIMEDOUT;
  }
  // Counted like any failed transfer: the pause, then the next attempt.
  if (!StartAttempt(job)) return AfterAttempt(job, CURLE_FAILED_INIT);
  return kGoesOn;
}

bool TransferEngine::StartDueAttempts(std::chrono::steady_clock::time_point now,
                                      std::chrono::steady_clock::time_point& wake) {
  bool anyRunning = false;
  for (std::size_t i = 0; i < jobs_.size(); ++i) {
    Job& job = *jobs_[i];
    if (!job.running && job.startAt <= now) {
      const int outcome = StartIfAllowed(job, now);
      if (outcome != kGoesOn) {
        Retire(jobs_.begin() + static_cast<std::ptrdiff_t>(i), outcome);
        return true;  // look again at once: the list has changed
      }
    }
    if (job.FallsBehind(now)) {
      curl_multi_remove_handle(Multi(multi_), job.running->handle());
      job.running.reset();
      RemoveNarrowPath(job.request.path);
      Retire(jobs_.begin() + static_cast<std::ptrdiff_t>(i), CURLE_OPERATION_TIMEDOUT);
      return true;  // look again at once: the list has changed
    }
    if (job.running) {
      anyRunning = true;
    } else {
      wake = std::min(wake, job.startAt);
    }
  }
  return anyRunning;
}

void TransferEngine::CollectFinishedAttempts() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(Multi(multi_), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* const easy = message->easy_handle;
    const CURLcode performed = message->data.result;
    auto found = std::find_if(jobs_.begin(), jobs_.end(), [easy](const std::unique_ptr<Job>& job) {
      return job->running && job->running->handle() == easy;
    });
    if (found == jobs_.end()) continue;
    curl_multi_remove_handle(Multi(multi_), easy);
    Job& job = **found;
    const int result = job.running->Finish(performed);
    job.running.reset();
    const int outcome = AfterAttempt(job, result);
    if (outcome == kGoesOn) continue;
    Retire(found, outcome);
    if (jobs_.empty()) return;
  }
}

void TransferEngine::WaitForActivity(std::chrono::steady_clock::time_point wake) {
  // Downloads added or retried by the callbacks start without a wait.
  for (const std::unique_ptr<Job>& job : jobs_) {
    if (!job->running) wake = std::min(wake, job->startAt);
  }
  const long long waitMs = std::max<long long>(
      0, std::min<long long>(1000, std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count()));
  if (waitMs > 0) curl_multi_poll(Multi(multi_), nullptr, 0, static_cast<int>(waitMs), nullptr);
}

void TransferEngine::Run() {
  while (!jobs_.empty()) {
    const Clock::time_point now = Clock::now();
    Clock::time_point wake = now + std::chrono::seconds(1);
    const bool anyRunning = StartDueAttempts(now, wake);
    if (jobs_.empty()) break;
    if (!anyRunning) {
      std::this_thread::sleep_until(wake);
      continue;
    }
    int stillRunning = 0;
    curl_multi_perform(Multi(multi_), &stillRunning);
    CollectFinishedAttempts();
    if (jobs_.empty()) break;
    WaitForActivity(wake);
  }
}

void TransferEngine::CancelAll() {
  std::vector<std::unique_ptr<Job>> jobs;
  jobs.swap(jobs_);
  for (std::unique_ptr<Job>& job : jobs) {
    if (job->running) {
      curl_multi_remove_handle(Multi(multi_), job->running->handle());
      job->running.reset();
    }
    RemoveNarrowPath(job->request.path);
  }
}
