#include "update/full_update.h"

#include "update/safe_path.h"

std::string InstallerFileName(const std::string& packageDate) {
  if (!IsSafeFileNamePart(packageDate)) return std::string();
  return "setup" + packageDate + ".exe";
}

int DownloadInstaller(const std::string& url, const std::string& installerPath, ProgressWindow progressBar) {
  HttpTransfer http;
  http.progressWindow = progressBar;
  DownloadTarget target;
  target.fileName = installerPath.c_str();
  target.showProgress = 1;
  return http.DownloadWithProgress(url, target);
}
