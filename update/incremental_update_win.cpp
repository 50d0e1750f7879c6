#include "update/update_manager.h"

#include <commctrl.h>

#include "platform/paths.h"
#include "platform/text.h"
#include "update/incremental_update.h"
#include "update/update_messages.h"

namespace {

// Through the wide calls, so code page 936 names work whatever the system's
// ANSI code page is.
bool ReplaceFileWide(const std::string& from, const std::string& to) {
  return MoveFileExW(NarrowToWide(from).c_str(), NarrowToWide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

void RemoveFileWide(const std::string& path) {
  DeleteFileW(NarrowToWide(path).c_str());
}

}  // namespace

const StagingFileOps& NativeStagingFileOps() {
  static const StagingFileOps ops = {&MakeDirectoryTree, &ReplaceFileWide, &RemoveFileWide};
  return ops;
}

int UpdateManager::RunIncrementalUpdate() {
  IncrementalUpdateReporter reporter;
  reporter.progress = [this](int range, int position) {
    SendMessageW(progressBar, PBM_SETRANGE32, 0, range);
    SendMessageW(progressBar, PBM_SETPOS, position, 0);
  };
  // When the ready message returns, the tray window has written the pending manifest.
  reporter.ready = [this] { SendMessageW(trayWindow, kUpdateReadyMessage, 1, 1); };
  reporter.failed = [this] { SendMessageW(trayWindow, kUpdateFailedMessage, 1, 1); };
  return RunIncrementalUpdateIn(remoteManifest, localManifest, WideToNarrow(GetTempDirectory()), reporter);
}
