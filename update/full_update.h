#pragma once

// The full-package update: the release's installer is downloaded into the
// temp directory with byte progress on the progress bar. Runs on the update
// worker thread. Paths are narrow text (code page 936 on Windows).

#include <string>

#include <functional>

#include "update/transfer/http_transfer.h"
#include "update/transfer/resumable_download.h"

// "setup" + packageDate + ".exe", packageDate verbatim (case, blanks and dots
// kept). Empty text when packageDate holds a separator, a colon or "..": the
// name comes from the network and must not leave the temp directory.
std::string InstallerFileName(const std::string& packageDate);

// Downloads url to installerPath, sending PBM_SETRANGE32 (total bytes) and
// PBM_SETPOS (bytes so far) to progressBar as the bytes arrive, with the
// retries and resumption the policy allows. The bytes go to installerPath +
// ".zqdownload", which takes the installer's name only once it is whole and
// prove accepts it (a null prove accepts nothing): a partial or unproved
// installer never carries a name that could be started. limits bound its bytes
// and time. 0 on success; otherwise the last
// transfer's result, or kDownloadNotProved, and no file of either name is left
// (an older installer of that name stays as it was).
int DownloadInstaller(const std::string& url, const std::string& installerPath, ProgressWindow progressBar,
                      const RetryPolicy& retry, const DownloadLimits& limits,
                      const std::function<bool(const std::string& path)>& prove);
