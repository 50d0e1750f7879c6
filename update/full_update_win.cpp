#include "update/update_manager.h"

#include "platform/text.h"
#include "update/full_update.h"
#include "update/update_messages.h"

std::wstring UpdateManager::RunFullUpdate() {
  const std::string packageDate = remoteManifest.package_date();
  // An unsafe name fails as a failed download does: nothing is sent.
  if (InstallerFileName(packageDate).empty()) return std::wstring();
  const std::wstring installerPath = GetTempDirectory() + L"setup" + NarrowToWide(packageDate) + L".exe";
  if (DownloadInstaller(remoteManifest.install_package_url(), WideToNarrow(installerPath), progressBar) != 0) {
    return std::wstring();
  }
  // The tray window reads the path before SendMessageW returns, while this
  // thread waits; by then it has started the installer and closed itself.
  SendMessageW(trayWindow, kUpdateReadyMessage, 1, reinterpret_cast<LPARAM>(installerPath.c_str()));
  return installerPath;
}
