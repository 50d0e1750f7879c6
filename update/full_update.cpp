#include "update/full_update.h"

#include "platform/narrow_file.h"
#include "update/manifest/safe_path.h"

std::string InstallerFileName(const std::string& packageDate) {
  if (!IsSafeFileNamePart(packageDate)) return std::string();
  return "setup" + packageDate + ".exe";
}

int DownloadInstaller(const std::string& url, const std::string& installerPath, ProgressWindow progressBar,
                      const RetryPolicy& retry, const DownloadLimits& limits,
                      const std::function<bool(const std::string& path)>& prove) {
  const std::string partialPath = installerPath + kPartialDownloadSuffix;
  const auto accept = [&](const std::string& path) { return prove && prove(path); };
  const int result = DownloadUntilProved(url, partialPath, progressBar, retry, limits, accept);
  if (result != 0) return result;
  if (!ReplaceNarrowPath(partialPath, installerPath)) {
    RemoveNarrowPath(partialPath);
    return CURLE_WRITE_ERROR;
  }
  return 0;
}
