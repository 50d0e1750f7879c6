#pragma once

// How one file of a release reaches the staging area: by the smallest road
// the manifest offers and this installation can take. The deltas and patches
// from the installed file, when that file is one they were made from, the
// smaller first; else the compressed copy; else the file itself. Every road ends in the same proof
// of the whole file, and a road that fails leaves nothing behind and hands
// over to the next. Runs on the update worker thread; paths are narrow text
// (code page 936 on Windows).

#include <functional>
#include <string>
#include <vector>

#include "update/manifest/package_manifest.h"
#include "update/proof/release_trust.h"
#include "update/transfer/resumable_download.h"
#include "update/transfer/transfer_engine.h"

enum class FetchRoad { kDelta, kPatch, kCompressed, kFull };

// Beside the staged file while a smaller form downloads.
inline constexpr char kDeltaDownloadSuffix[] = ".zqdelta";
inline constexpr char kCompressedDownloadSuffix[] = ".zqzst";
inline constexpr char kPatchDownloadSuffix[] = ".zqpatch";

// The deltas and patches of entry whose base is the file at installedPath,
// judged by both its digests, by a SHA-256 of their own and, for a zstd
// delta, by a window this client decodes; the smaller first, the manifest's
// order between equals. Reads the file only when entry has any.
std::vector<const FileDelta*> DeltasForInstalledFile(const PackageFileEntry& entry, const std::string& installedPath);

// One entry's roads on an engine, beside other entries' downloads: each road's
// download is added when the one before has failed, and a form is decoded as
// soon as it is whole. Every file is judged from the digests of its bytes as
// written or decoded, never read back. The object must outlive the engine's
// run; done is called once, on the engine's thread, with whether partialPath
// holds the proved file and the road that proved it. Anything a failed road
// left is removed before the next begins.
class RoadFetch {
 public:
  using Done = std::function<void(bool proved, FetchRoad road)>;

  RoadFetch(TransferEngine& engine, PackageFileEntry entry, std::string installedPath, std::string partialPath,
            const ReleaseTrust& trust, const RetryPolicy& retry, Done done);
  RoadFetch(const RoadFetch&) = delete;
  RoadFetch& operator=(const RoadFetch&) = delete;

  void Start();

 private:
  void Try(FetchRoad road);
  void FormArrived(FetchRoad road, const std::string& formPath, int result);
  bool AddNextDelta(EngineDownload& download, FetchRoad& road);

  TransferEngine& engine_;
  const PackageFileEntry entry_;
  const std::string installedPath_;
  const std::string partialPath_;
  const ReleaseTrust trust_;
  const RetryPolicy retry_;
  const Done done_;
  std::vector<const FileDelta*> deltas_;
  size_t nextDelta_ = 0;
  const FileDelta* delta_ = nullptr;  // the one being tried
};
