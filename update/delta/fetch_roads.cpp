#include "update/delta/fetch_roads.h"

#include "platform/narrow_file.h"
#include "update/delta/zstd_decode.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"

namespace {

// A smaller form is a saving, never the only way: it gets one retry (a
// dropped connection resumes) and then the next road takes over, instead of
// the full file's patience.
RetryPolicy SmallerFormRetry(const RetryPolicy& retry) {
  RetryPolicy shorter = retry;
  if (shorter.pausesMs.size() > 1) shorter.pausesMs.resize(1);
  return shorter;
}

// The form's own bytes, proved by the SHA-256 the manifest names for them:
// a keyed client's manifest is signed, so nothing it does not name is ever
// decoded.
bool DownloadForm(const std::string& url, long long size, const std::string& sha256, const std::string& path,
                  const RetryPolicy& retry) {
  if (!IsSha256Hex(sha256)) return false;
  const auto named = [&](const std::string& file) { return Sha256HexOfFile(file) == sha256; };
  return DownloadUntilProved(url, path, nullptr, SmallerFormRetry(retry), LimitsForSize(size), named) == 0;
}

long long DecodedSizeCap(const PackageFileEntry& entry) {
  return entry.size() >= 0 ? entry.size() : kUnnamedSizeCap;
}

bool ByDelta(const PackageFileEntry& entry, const std::string& installedPath, const std::string& partialPath,
             const ReleaseTrust& trust, const RetryPolicy& retry) {
  const FileDelta* delta = DeltaForInstalledFile(entry, installedPath);
  if (delta == nullptr) return false;
  const std::string deltaPath = partialPath + kDeltaDownloadSuffix;
  bool proved = false;
  if (DownloadForm(delta->url, delta->size, delta->sha256, deltaPath, retry) &&
      ApplyDeltaFile(installedPath, deltaPath, partialPath, DecodedSizeCap(entry), delta->window_log) ==
          DecodeResult::kOk) {
    proved = trust.AcceptsFile(partialPath, entry);
  }
  RemoveNarrowPath(deltaPath);
  if (!proved) RemoveNarrowPath(partialPath);
  return proved;
}

bool ByCompressedCopy(const PackageFileEntry& entry, const std::string& partialPath, const ReleaseTrust& trust,
                      const RetryPolicy& retry) {
  const CompressedCopy& copy = entry.compressed();
  if (copy.url.empty()) return false;
  const std::string copyPath = partialPath + kCompressedDownloadSuffix;
  bool proved = false;
  if (DownloadForm(copy.url, copy.size, copy.sha256, copyPath, retry) &&
      DecompressFile(copyPath, partialPath, DecodedSizeCap(entry)) == DecodeResult::kOk) {
    proved = trust.AcceptsFile(partialPath, entry);
  }
  RemoveNarrowPath(copyPath);
  if (!proved) RemoveNarrowPath(partialPath);
  return proved;
}

}  // namespace

const FileDelta* DeltaForInstalledFile(const PackageFileEntry& entry, const std::string& installedPath) {
  if (entry.deltas().empty()) return nullptr;
  const std::string md5 = CMD5Checksum::HashFile(installedPath);
  if (md5.empty()) return nullptr;
  std::string sha256;
  for (const FileDelta& delta : entry.deltas()) {
    if (delta.from_hash != md5 || delta.window_log > kMaxWindowLog) continue;
    // MD5 alone can be made to collide; the base must be the very file.
    if (sha256.empty()) sha256 = Sha256HexOfFile(installedPath);
    if (delta.from_sha256 == sha256) return &delta;
  }
  return nullptr;
}

bool FetchByCheapestRoad(const PackageFileEntry& entry, const std::string& installedPath,
                         const std::string& partialPath, const ReleaseTrust& trust, const RetryPolicy& retry,
                         FetchRoad& road) {
  if (!trust.CanProve(entry)) return false;
  road = FetchRoad::kDelta;
  if (ByDelta(entry, installedPath, partialPath, trust, retry)) return true;
  road = FetchRoad::kCompressed;
  if (ByCompressedCopy(entry, partialPath, trust, retry)) return true;
  road = FetchRoad::kFull;
  const auto proved = [&](const std::string& path) { return trust.AcceptsFile(path, entry); };
  return DownloadUntilProved(entry.remote_url(), partialPath, nullptr, retry, LimitsForSize(entry.size()), proved) ==
         0;
}
