#pragma once

// Decoding the smaller forms a release serves beside each file: a zstd
// compressed copy, and a zstd "patch-from" delta that needs the installed
// file as its dictionary. Both stream from file to file; memory is bounded by
// the window cap, and a delta's base is held once. Any thread; paths are
// narrow text (code page 936 on Windows).

#include <string>

class StreamedDigests;

// The largest window a client decodes: 128 MiB, which also bounds the base
// file of a delta. zstd's own decoder refuses larger windows by default too.
inline constexpr int kMaxWindowLog = 27;

enum class DecodeResult {
  kOk,
  kCannotRead,      // the source or the base cannot be read
  kCannotWrite,     // the target cannot be created or written
  kCorrupt,         // not exactly one whole, checksummed zstd frame that decodes
  kWindowTooLarge,  // the frame, or the base, needs more than the cap allows
  kTooLong,         // the output would pass maxBytes
};

// Decodes the single zstd frame in sourcePath into targetPath (created or
// truncated), never writing more than maxBytes. On anything but kOk the
// target is removed. outputDigests, when not null, is fed every byte written,
// so the result can be proved without reading it back.
DecodeResult DecompressFile(const std::string& sourcePath, const std::string& targetPath, long long maxBytes,
                            StreamedDigests* outputDigests = nullptr);

// As DecompressFile, with the whole of basePath as the frame's prefix
// dictionary: the delta that turns that file into the target. The frame's
// window may not pass 2^maxWindowLog (at most kMaxWindowLog), nor the base
// that size.
DecodeResult ApplyDeltaFile(const std::string& basePath, const std::string& deltaPath, const std::string& targetPath,
                            long long maxBytes, int maxWindowLog = kMaxWindowLog,
                            StreamedDigests* outputDigests = nullptr);

// "ok", "cannot read", ... for messages.
const char* DecodeResultText(DecodeResult result);
