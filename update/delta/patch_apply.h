#pragma once

// Applying a patch (patch_format.h), the publisher's delta of approximate
// matches, to the installed file it was made from. Streams both ways: the
// base is read by seeking where the patch points, the output written as it
// is made, so memory stays under 20 MiB whatever the files' sizes (four
// stream windows of 4 MiB, a few 64 KiB buffers, 16 bytes per MiB of a
// program image's base for its rewriting). Every length and position
// is checked before it is used: the patch is network input. Any thread;
// paths are narrow text (code page 936 on Windows).

#include <string>

#include "update/delta/zstd_decode.h"

class StreamedDigests;

// Writes the file that the patch at patchPath makes from basePath into
// targetPath (created or truncated). kCorrupt for anything that is not a
// whole, well-formed patch of this base; kTooLong when its output would pass
// maxBytes (nothing is then written); kWindowTooLarge when a stream needs a
// larger window than kPatchStreamWindowLog. On anything but kOk the target
// is removed. outputDigests, when not null, is fed every byte written.
DecodeResult ApplyPatchFile(const std::string& basePath, const std::string& patchPath, const std::string& targetPath,
                            long long maxBytes, StreamedDigests* outputDigests = nullptr);
