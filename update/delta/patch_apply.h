#pragma once

// Applying a patch (patch_format.h), the publisher's delta of approximate
// matches, to the installed file it was made from. Streams both ways: the
// base is read by seeking where the patch points, the output written as it
// is made, so memory stays under 29 MiB whatever the files' sizes: four
// stream windows of 4 MiB, 64 kept blocks of the base (4 MiB), a few 64 KiB
// buffers, 16 bytes per MiB of a program image's base for its rewriting,
// and for a labelled patch at most 2 MiB each for the base's relocated
// addresses and targets and 4 MiB for the output's labels (the label table
// and the output's relocated addresses are read when the streams are not).
// A labelled output is written beside the target first and turned back into
// it once whole. Every length and position is checked before it is used:
// the patch is network input. Any thread; paths are narrow text (code page
// 936 on Windows).

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
