#pragma once

// The full-package update: the release's installer is downloaded into the
// temp directory with byte progress on the progress bar. Runs on the update
// worker thread. Paths are narrow text (code page 936 on Windows).

#include <string>

#include "update/http_transfer.h"

// "setup" + packageDate + ".exe", packageDate verbatim (case, blanks and dots
// kept). Empty text when packageDate holds a separator, a colon or "..": the
// name comes from the network and must not leave the temp directory.
std::string InstallerFileName(const std::string& packageDate);

// Downloads url to installerPath, sending PBM_SETRANGE32 (total bytes) and
// PBM_SETPOS (bytes so far) to progressBar as the bytes arrive. Returns the
// transfer's result: 0 for a whole 2xx answer. Any other answer leaves no file
// (and an older one as it was); a transfer cut short leaves what arrived.
int DownloadInstaller(const std::string& url, const std::string& installerPath, ProgressWindow progressBar);
