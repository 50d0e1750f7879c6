#include "update/delta/fetch_roads.h"

#include <algorithm>

#include "platform/event_log.h"
#include "platform/narrow_file.h"
#include "update/delta/patch_apply.h"
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

std::vector<const FileDelta*> DeltasForInstalledFile(const PackageFileEntry& entry, const std::string& installedPath) {
  std::vector<const FileDelta*> usable;
  const auto lists = entry.delta_lists();
  if (std::all_of(lists.begin(), lists.end(), [](const auto* list) { return list->empty(); })) return usable;
  const std::string md5 = CMD5Checksum::HashFile(installedPath);
  if (md5.empty()) return usable;
  std::string sha256;
  for (const std::vector<FileDelta>* deltas : lists) {
    for (const FileDelta& delta : *deltas) {
      if (delta.from_hash != md5 || !IsSha256Hex(delta.sha256)) continue;
      if (delta.format == DeltaFormat::kZstd && delta.window_log > kMaxWindowLog) continue;
      // MD5 alone can be made to collide; the base must be the very file.
      if (sha256.empty()) sha256 = Sha256HexOfFile(installedPath);
      if (delta.from_sha256 == sha256) usable.push_back(&delta);
    }
  }
  std::stable_sort(usable.begin(), usable.end(),
                   [](const FileDelta* a, const FileDelta* b) { return a->size < b->size; });
  return usable;
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
  deltas_ = DeltasForInstalledFile(entry_, installedPath_);
  Try(FetchRoad::kDelta);
}

// The next delta or patch not yet tried, set up on download; false when none is left.
bool RoadFetch::AddNextDelta(EngineDownload& download, FetchRoad& road) {
  if (nextDelta_ >= deltas_.size()) return false;
  delta_ = deltas_[nextDelta_++];
  // Every version of patch goes to the one applier, which knows them all.
  const bool patch = delta_->format != DeltaFormat::kZstd;
  road = patch ? FetchRoad::kPatch : FetchRoad::kDelta;
  download.url = delta_->url;
  download.path = partialPath_ + (patch ? kPatchDownloadSuffix : kDeltaDownloadSuffix);
  download.limits = LimitsForSize(delta_->size);
  return true;
}

void RoadFetch::Try(FetchRoad road) {
  EngineDownload download;
  std::string sha256;
  if (road == FetchRoad::kDelta || road == FetchRoad::kPatch) {
    if (!AddNextDelta(download, road)) return Try(FetchRoad::kCompressed);
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
    const long long cap = DecodedSizeCap(entry_);
    DecodeResult decoded = DecodeResult::kCorrupt;
    if (road == FetchRoad::kDelta) {
      decoded = ApplyDeltaFile(installedPath_, formPath, partialPath_, cap, delta_->window_log, &digests);
    } else if (road == FetchRoad::kPatch) {
      decoded = ApplyPatchFile(installedPath_, formPath, partialPath_, cap, &digests);
    } else {
      decoded = DecompressFile(formPath, partialPath_, cap, &digests);
    }
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
  // The next delta, if any is left, then the compressed copy.
  Try(road == FetchRoad::kCompressed ? FetchRoad::kFull : FetchRoad::kDelta);
}
