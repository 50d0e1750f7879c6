#include "update/update_manager.h"

#include <commctrl.h>

#include "platform/paths.h"
#include "platform/text.h"
#include "update/incremental_update.h"
#include "update/update_check.h"
#include "update/update_messages.h"

int UpdateManager::RunIncrementalUpdate() {
  IncrementalUpdateReporter reporter;
  reporter.progress = [this](int range, int position) {
    SendMessageW(progressBar, PBM_SETRANGE32, 0, range);
    SendMessageW(progressBar, PBM_SETPOS, position, 0);
  };
  // When the ready message returns, the tray window has written the pending manifest.
  reporter.ready = [this] { SendMessageW(trayWindow, kUpdateReadyMessage, 1, 1); };
  reporter.failed = [this] { SendMessageW(trayWindow, kUpdateFailedMessage, 1, 1); };
  // Staged files belong to one pending manifest: from here on they are this
  // release's, so an older pending manifest left by an earlier run must not
  // install them under its name at the next plain start.
  DeleteFileW(pendingManifestPath.c_str());
  DeleteFileW((pendingManifestPath + kSignatureSuffix).c_str());
  return RunIncrementalUpdateIn(remoteManifest, localManifest, WideToNarrow(GetTempDirectory()),
                                WideToNarrow(GetModuleDirectory()), reporter, DownloadRules());
}
