#pragma once

// Several file downloads at once on one libcurl multi handle, whose
// connection cache serves every transfer of a run: a release of many small
// files costs a handful of connections, not one per file. Each download is
// tried, paused, resumed and bounded exactly as DownloadUntilProved does it
// alone (resumable_download.h), and is judged from the digests of its bytes
// as they were written. Runs on one thread, the one that calls Run; every
// callback comes on it. Paths are narrow text (code page 936 on Windows).

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "update/proof/streamed_digests.h"
#include "update/transfer/download_policy.h"
#include "update/transfer/http_transfer.h"

struct EngineDownload {
  std::string url;
  std::string path;
  RetryPolicy retry;
  // Bytes over kUnnamedSizeCap are refused with 63 before any request.
  DownloadLimits limits = LimitsForSize(-1);
  // Not null: the bar follows this download's bytes.
  ProgressWindow progressBar = nullptr;
  // Whether prove needs the SHA-256 of the bytes, or their MD5 alone.
  bool sha256 = true;
  // Judges the whole file at path, whose bytes have the given digests.
  std::function<bool(const std::string& path, const FileDigestTexts& digests)> prove;
  // Called once: 0 when path holds the proved file; otherwise path is gone
  // and the code is DownloadUntilProved's. May add downloads or cancel.
  std::function<void(int result)> done;
};

class TransferEngine {
 public:
  // At most maxConnections connections at once (at least 1).
  explicit TransferEngine(int maxConnections);
  ~TransferEngine();
  TransferEngine(const TransferEngine&) = delete;
  TransferEngine& operator=(const TransferEngine&) = delete;

  // Starts at once, beside whatever is running.
  void Add(EngineDownload download);
  // Drives every download to its end, those added meanwhile included.
  void Run();
  // Ends every download, running or waiting to retry, and removes its file;
  // their done is not called. Run then returns.
  void CancelAll();

 private:
  struct Job;
  // False when the attempt could not be started at all.
  bool StartAttempt(Job& job);
  // After an attempt: the job's result, or -2 while it goes on.
  int AfterAttempt(Job& job, int result);
  // For a job due to start: -2 once its attempt is on its way, otherwise the
  // result it ends with.
  int StartIfAllowed(Job& job, std::chrono::steady_clock::time_point now);
  // Starts what is due and ends what falls behind; true when something runs
  // or the list changed. wake: the earliest start still to come.
  bool StartDueAttempts(std::chrono::steady_clock::time_point now, std::chrono::steady_clock::time_point& wake);
  // Judges every attempt libcurl reports finished.
  void CollectFinishedAttempts();
  // Until libcurl has news, or the next start is due (at most a second).
  void WaitForActivity(std::chrono::steady_clock::time_point wake);
  // Takes the job out of the list, then calls its done with result.
  void Retire(std::vector<std::unique_ptr<Job>>::iterator job, int result);

  void* multi_;
  bool globalInit_;
  std::vector<std::unique_ptr<Job>> jobs_;
};
