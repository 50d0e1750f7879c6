#include "update/delta/fetch_roads.h"

#include "platform/event_log.h"

#include "platform/narrow_file.h"
#include "update/delta/zstd_decode.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"
#include "update/proof/streamed_digests.h"

namespace {

// A smaller form is a saving, never the only way: it gets one retry (a
// dropped connection resumes) and then the next road takes over, instead of
// the full file's patience.
RetryPolicy SmallerFormRetry(const RetryPolicy& retry) {
  RetryPolicy shorter = retry;
  if (shorter.pausesMs.size() > 1) shorter.pausesMs.resize(1);
  return shorter;
}

long long DecodedSizeCap(const PackageFileEntry& entry) {
  return entry.size() >= 0 ? entry.size() : kUnnamedSizeCap;
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

RoadFetch::RoadFetch(TransferEngine& engine, PackageFileEntry entry, std::string installedPath, std::string partialPath,
                     const ReleaseTrust& trust, const RetryPolicy& retry, Done done)
    : engine_(engine),
      entry_(std::move(entry)),
      installedPath_(std::move(installedPath)),
      partialPath_(std::move(partialPath)),
      trust_(trust),
      retry_(retry),
      done_(std::move(done)) {}

void RoadFetch::Start() {
  // A file past every bound would lift the cap on what its forms decode to.
  if (!trust_.CanProve(entry_) || entry_.size() > kUnnamedSizeCap) {
    done_(false, FetchRoad::kFull);
    return;
  }
  Try(FetchRoad::kDelta);
}

void RoadFetch::Try(FetchRoad road) {
  EngineDownload download;
  std::string sha256;
  if (road == FetchRoad::kDelta) {
    delta_ = DeltaForInstalledFile(entry_, installedPath_);
    if (delta_ == nullptr || !IsSha256Hex(delta_->sha256)) return Try(FetchRoad::kCompressed);
    download.url = delta_->url;
    download.path = partialPath_ + kDeltaDownloadSuffix;
    download.limits = LimitsForSize(delta_->size);
    sha256 = delta_->sha256;
  } else if (road == FetchRoad::kCompressed) {
    const CompressedCopy& copy = entry_.compressed();
    if (copy.url.empty() || !IsSha256Hex(copy.sha256)) return Try(FetchRoad::kFull);
    download.url = copy.url;
    download.path = partialPath_ + kCompressedDownloadSuffix;
    download.limits = LimitsForSize(copy.size);
    sha256 = copy.sha256;
  } else {
    download.url = entry_.remote_url();
    download.path = partialPath_;
    download.retry = retry_;
    download.limits = LimitsForSize(entry_.size());
    download.sha256 = trust_.required();
    download.prove = [this](const std::string&, const FileDigestTexts& digests) {
      return trust_.AcceptsDigests(digests.md5, digests.sha256, entry_);
    };
    download.done = [this](int result) { done_(result == 0, FetchRoad::kFull); };
    engine_.Add(std::move(download));
    return;
  }
  download.retry = SmallerFormRetry(retry_);
  // The form's own bytes, proved by the SHA-256 the manifest names for them:
  // a keyed client's manifest is signed, so nothing it does not name is ever
  // decoded.
  download.prove = [sha256, url = download.url](const std::string&, const FileDigestTexts& digests) {
    return DigestAgrees("SHA-256", digests.sha256, sha256, LoggedUrl(url));
  };
  const std::string formPath = download.path;
  download.done = [this, road, formPath](int result) { FormArrived(road, formPath, result); };
  engine_.Add(std::move(download));
}

void RoadFetch::FormArrived(FetchRoad road, const std::string& formPath, int result) {
  bool proved = false;
  if (result == 0) {
    StreamedDigests digests;
    const DecodeResult decoded = road == FetchRoad::kDelta
                                     ? ApplyDeltaFile(installedPath_, formPath, partialPath_, DecodedSizeCap(entry_),
                                                      delta_->window_log, &digests)
                                     : DecompressFile(formPath, partialPath_, DecodedSizeCap(entry_), &digests);
    if (decoded == DecodeResult::kOk) {
      const FileDigestTexts texts = digests.Finish();
      proved = trust_.AcceptsDigests(texts.md5, texts.sha256, entry_);
    }
  }
  RemoveNarrowPath(formPath);
  if (proved) {
    done_(true, road);
    return;
  }
  RemoveNarrowPath(partialPath_);
  Try(road == FetchRoad::kDelta ? FetchRoad::kCompressed : FetchRoad::kFull);
}
