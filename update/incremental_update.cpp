#include "update/incremental_update.h"

#include "platform/narrow_file.h"
#include "update/delta/fetch_roads.h"
#include "update/transfer/transfer_engine.h"
#include "update/manifest/safe_path.h"
#include "update/update_check.h"
#include "update/manifest/version_number.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <unordered_set>

namespace {

void RemoveStagedFile(const std::string& path) {
  RemoveNarrowPath(path);
}

}  // namespace

const StagingFileOps& NativeStagingFileOps() {
  static const StagingFileOps ops = {&MakeDirectoryTree, &ReplaceNarrowPath, &RemoveStagedFile};
  return ops;
}

int ParallelDownloadsFromSetting(const std::string& text) {
  return static_cast<int>(WholeNumberFromSetting(text, 1, kMaxParallelDownloads, kDefaultParallelDownloads));
}

bool AllEntriesStayInside(const PackageManifest& remote) {
  for (const PackageFileEntry& entry : remote.file_list()) {
    if (!IsSafeRelativePath(entry.local_path() + entry.name())) return false;
  }
  return true;
}

bool EntriesNameDistinctFiles(const std::vector<PackageFileEntry>& entries) {
  std::unordered_set<std::string> seen;
  for (const PackageFileEntry& entry : entries) {
    if (!seen.insert(FoldedRelativePath(entry.local_path() + entry.name())).second) return false;
  }
  return true;
}

std::vector<PackageFileEntry> EntriesToFetch(const PackageManifest& remote, const PackageManifest& local) {
  const EntryIndex installed(local);
  std::vector<PackageFileEntry> fetch;
  for (const PackageFileEntry& entry : remote.file_list()) {
    if (EntryHasAFile(entry) && CompareVersions(entry.ver(), installed.VerOf(entry.name())) == 1) {
      fetch.push_back(entry);
    }
  }
  return fetch;
}

std::string StagedPath(const std::string& tempDirectory, const PackageFileEntry& entry) {
  return tempDirectory + entry.local_path() + entry.name();
}

int RunIncrementalUpdateIn(const PackageManifest& remote, const PackageManifest& local,
                           const std::string& tempDirectory, const std::string& installDirectory,
                           const IncrementalUpdateReporter& reporter, const UpdateRules& rules,
                           const StagingFileOps& ops) {
  const int entryCount = static_cast<int>(remote.file_list().size());
  // The whole list is judged before the first request: a hostile entry late
  // in the list must not find earlier files of the same release staged.
  const std::vector<PackageFileEntry> fetch = EntriesToFetch(remote, local);
  if (!AllEntriesStayInside(remote) || !EntriesNameDistinctFiles(fetch)) {
    reporter.failed();
    return -1;
  }

  // Every file of the run shares one engine, and so its connections. One at
  // a time, the bar moves as each file starts, as it always did; several at
  // once, as each is staged, so positions still rise one by one.
  const int parallel = std::max(1, std::min(rules.parallelDownloads, kMaxParallelDownloads));
  TransferEngine engine(parallel);
  std::vector<std::unique_ptr<RoadFetch>> fetches;
  std::unordered_set<std::string> directoriesMade;
  std::size_t next = 0;
  int active = 0;
  int fetched = 0;
  bool failed = false;
  std::function<void()> startMore = [&] {
    while (!failed && active < parallel && next < fetch.size()) {
      const PackageFileEntry& entry = fetch[next++];
      const std::string staged = StagedPath(tempDirectory, entry);
      if (parallel == 1) reporter.progress(entryCount, ++fetched);
      // Failures here surface below: the file cannot be created, so it is not
      // proved. Once a directory: under Wine every step of the walk is a
      // round trip to the server, and a release's files share a few folders.
      const std::string directory = tempDirectory + entry.local_path();
      if (directoriesMade.insert(directory).second) ops.makeDirectories(directory);
      ++active;
      const RoadFetch::Done staging = [&, staged](bool proved, FetchRoad) {
        --active;
        const std::string partial = staged + kPartialDownloadSuffix;
        if (!proved || !ops.replaceFile(partial, staged)) {
          if (proved) ops.removeFile(partial);
          // The first file that fails ends the others: nothing of theirs is kept.
          failed = true;
          engine.CancelAll();
          return;
        }
        if (parallel > 1) reporter.progress(entryCount, ++fetched);
        startMore();
      };
      // The download starts by removing a leftover of an interrupted run,
      // which must not be judged as this transfer's file.
      fetches.push_back(std::make_unique<RoadFetch>(engine, entry, StagedPath(installDirectory, entry),
                                                    staged + kPartialDownloadSuffix, rules.trust, rules.retry,
                                                    staging));
      fetches.back()->Start();
    }
  };
  startMore();
  engine.Run();
  if (failed) {
    reporter.failed();
    return -1;
  }
  reporter.ready();
  return 1;
}
