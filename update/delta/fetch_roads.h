#pragma once

// How one file of a release reaches the staging area: by the smallest road
// the manifest offers and this installation can take. A delta from the
// installed file when that file is one the delta was made from; else the
// compressed copy; else the file itself. Every road ends in the same proof
// of the whole file, and a road that fails leaves nothing behind and hands
// over to the next. Runs on the update worker thread; paths are narrow text
// (code page 936 on Windows).

#include <string>

#include "update/manifest/package_manifest.h"
#include "update/proof/release_trust.h"
#include "update/transfer/resumable_download.h"

enum class FetchRoad { kDelta, kCompressed, kFull };

// Beside the staged file while a smaller form downloads.
inline constexpr char kDeltaDownloadSuffix[] = ".zqdelta";
inline constexpr char kCompressedDownloadSuffix[] = ".zqzst";

// The delta of entry whose base is the file at installedPath, judged by both
// its digests and by a window this client decodes; null when none is. Reads
// the file only when entry has deltas.
const FileDelta* DeltaForInstalledFile(const PackageFileEntry& entry, const std::string& installedPath);

// Fetches entry into partialPath, trying the roads in order, until trust
// accepts the whole file there. True, with road set to the one that did,
// when partialPath holds the proved file; false when even the file itself
// was not proved, and then nothing of any road is left.
bool FetchByCheapestRoad(const PackageFileEntry& entry, const std::string& installedPath,
                         const std::string& partialPath, const ReleaseTrust& trust, const RetryPolicy& retry,
                         FetchRoad& road);
