#include "update/transfer/resumable_download.h"

#include "update/transfer/transfer_engine.h"

int DownloadUntilProved(const std::string& url, const std::string& path, ProgressWindow progressBar,
                        const RetryPolicy& policy, const DownloadLimits& limits,
                        const std::function<bool(const std::string& path)>& prove) {
  // One download alone on the engine that runs many, so both roads are one code.
  TransferEngine engine(1);
  int result = kDownloadNotProved;
  EngineDownload download;
  download.url = url;
  download.path = path;
  download.retry = policy;
  download.limits = limits;
  download.progressBar = progressBar;
  // prove reads the file itself: the streamed SHA-256 would go unused.
  download.sha256 = false;
  download.prove = [&prove](const std::string& file, const FileDigestTexts&) { return prove(file); };
  download.done = [&result](int outcome) { result = outcome; };
  engine.Add(std::move(download));
  engine.Run();
  return result;
}
