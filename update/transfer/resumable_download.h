#pragma once

// A file download that survives a bad network: a stalled transfer is cut off,
// a failed one is tried again after a pause, and bytes already on disk are
// resumed rather than fetched again when the server still has the same
// version of the file. The file is judged only when whole, by the caller's
// proof. Runs on the update worker thread; paths are narrow text (code page
// 936 on Windows).

#include <functional>
#include <string>

#include "update/transfer/download_policy.h"
#include "update/transfer/http_transfer.h"

// Downloads url into path until prove(path) holds, at most as often as the
// policy allows, never writing more than limits.maxBytes; within a second of
// the deadline no attempt starts, and a running one ends with 28 at it.
// Whatever lies at path at the start is removed first: bytes are resumed only
// within one call. A whole 2xx answer with no body is an empty file. With
// progressBar set, the bar follows the bytes (DownloadWithProgress);
// otherwise nothing is reported. 0 when path holds the proved file.
// Otherwise path is removed and the result is the last transfer's code, or
// kDownloadNotProved when the last whole file failed its proof.
int DownloadUntilProved(const std::string& url, const std::string& path, ProgressWindow progressBar,
                        const RetryPolicy& policy, const DownloadLimits& limits,
                        const std::function<bool(const std::string& path)>& prove);
