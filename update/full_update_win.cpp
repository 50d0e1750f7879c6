#include "update/update_manager.h"

#include "platform/text.h"
#include "update/full_update.h"
#include "update/update_messages.h"

std::wstring UpdateManager::RunFullUpdate() {
  const std::string packageDate = remoteManifest.package_date();
  // An unsafe name fails as a failed download does: nothing is sent.
  if (InstallerFileName(packageDate).empty()) return std::wstring();
  const UpdateRules rules = DownloadRules();
  // With a release key, an installer the signed manifest gives no digest for
  // could never be proved: it is not fetched.
  if (!rules.trust.CanProveInstaller(remoteManifest)) return std::wstring();
  const std::wstring installerPath = GetTempDirectory() + L"setup" + NarrowToWide(packageDate) + L".exe";
  const auto proved = [&](const std::string& path) { return rules.trust.AcceptsInstaller(path, remoteManifest); };
  if (DownloadInstaller(remoteManifest.install_package_url(), WideToNarrow(installerPath), progressBar, rules.retry,
                        LimitsForSize(remoteManifest.install_package_size()), proved) != 0) {
    return std::wstring();
  }
  // The tray window reads the path before SendMessageW returns, while this
  // thread waits; by then it has started the installer and closed itself.
  SendMessageW(trayWindow, kUpdateReadyMessage, 1, reinterpret_cast<LPARAM>(installerPath.c_str()));
  return installerPath;
}
