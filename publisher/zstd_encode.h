#pragma once

#include <string>

// The publisher's side of the smaller forms (update/delta/zstd_decode.h
// decodes them): a compressed copy of a file, and a "patch-from" delta that
// rebuilds a file from an earlier version of it. Both are one checksummed
// zstd frame. Pure functions of bytes; any thread.

// zstd's level for both forms: slow to make, once per release; fast to decode.
inline constexpr int kPublishLevel = 19;

// The smallest window log whose window holds largerSize bytes, at least zstd's minimum.
int WindowLogFor(long long largerSize);

// The window a delta between files of these sizes needs; above kMaxWindowLog
// no client decodes it, and MakeDelta declines the pair.
int DeltaWindowLog(long long baseSize, long long targetSize);

// The compressed copy of bytes, with long-distance matching for large files.
// windowLog is what a decoder must allow, at most kMaxWindowLog, so any file
// has a copy. False only when zstd fails.
bool CompressForServing(const std::string& bytes, int level, std::string& frame, int& windowLog);

// The delta from base to target: target compressed with base as its prefix
// dictionary. False when either is too large for a window a client decodes
// (the file is then served without deltas) or zstd fails.
bool MakeDelta(const std::string& base, const std::string& target, int level, std::string& frame, int& windowLog);
