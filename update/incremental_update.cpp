#include "update/incremental_update.h"

#include "platform/event_log.h"
#include "platform/narrow_file.h"
#include "update/delta/fetch_roads.h"
#include "update/transfer/transfer_engine.h"
#include "update/manifest/safe_path.h"
#include "update/update_check.h"
#include "update/manifest/version_number.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <unordered_set>

namespace {

const char* RoadName(FetchRoad road) {
  switch (road) {
    case FetchRoad::kDelta: return "delta";
    case FetchRoad::kPatch: return "patch";
    case FetchRoad::kCompressed: return "compressed";
    case FetchRoad::kFull: break;
  }
  return "whole";
}

// "bin\a.dll: delta, 12345 bytes staged, 0.21 s", or why it failed.
void LogDelivery(const PackageFileEntry& entry, bool proved, FetchRoad road,
                 std::chrono::steady_clock::time_point start) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f s",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  const std::string name = "file " + entry.local_path() + entry.name() + ": ";
  if (proved) {
    LogEvent(name + RoadName(road) + ", " + std::to_string(entry.size()) + " bytes, " + seconds);
  } else {
    LogEvent(name + "not fetched and proved by any road after " + seconds + "; the update stops");
  }
}

void RemoveStagedFile(const std::string& path) {
  RemoveNarrowPath(path);
}

struct StagingDirectories {
  const std::string& temp;
  const std::string& install;
};

// One run's downloads on one engine, started as connections free up; each
// file is moved under its staged name as soon as it is proved, and the first
// that fails ends the rest.
class StagingRun {
 public:
  StagingRun(const std::vector<PackageFileEntry>& fetch, int entryCount, StagingDirectories directories,
             const IncrementalUpdateReporter& reporter, const UpdateRules& rules, const StagingFileOps& ops)
      : fetch_(fetch),
        entryCount_(entryCount),
        directories_(directories),
        reporter_(reporter),
        rules_(rules),
        ops_(ops),
        parallel_(std::max(1, std::min(rules.parallelDownloads, kMaxParallelDownloads))),
        engine_(parallel_) {}

  // True when every file was fetched, proved and staged.
  bool Run() {
    StartMore();
    engine_.Run();
    return !failed_;
  }

 private:
  // Every file of the run shares one engine, and so its connections. One at
  // a time, the bar moves as each file starts, as it always did; several at
  // once, as each is staged, so positions still rise one by one.
  void StartMore() {
    while (!failed_ && active_ < parallel_ && next_ < fetch_.size()) Start(fetch_[next_++]);
  }

  void Start(const PackageFileEntry& entry) {
    const std::string staged = StagedPath(directories_.temp, entry);
    if (parallel_ == 1) reporter_.progress(entryCount_, ++fetched_);
    // Failures here surface below: the file cannot be created, so it is not
    // proved. Once a directory: under Wine every step of the walk is a
    // round trip to the server, and a release's files share a few folders.
    const std::string directory = directories_.temp + entry.local_path();
    if (directoriesMade_.insert(directory).second) ops_.makeDirectories(directory);
    ++active_;
    // The download starts by removing a leftover of an interrupted run,
    // which must not be judged as this transfer's file.
    const auto start = std::chrono::steady_clock::now();
    fetches_.push_back(std::make_unique<RoadFetch>(engine_, entry, StagedPath(directories_.install, entry),
                                                   staged + kPartialDownloadSuffix, rules_.trust, rules_.retry,
                                                   [this, staged, &entry, start](bool proved, FetchRoad road) {
                                                     // After the first failure the others are cancelled: only that one
                                                     // is news.
                                                     if (!failed_) LogDelivery(entry, proved, road, start);
                                                     Finished(staged, proved);
                                                   }));
    fetches_.back()->Start();
  }

  void Finished(const std::string& staged, bool proved) {
    --active_;
    const std::string partial = staged + kPartialDownloadSuffix;
    if (!proved || !ops_.replaceFile(partial, staged)) {
      if (proved) ops_.removeFile(partial);
      // The first file that fails ends the others: nothing of theirs is kept.
      failed_ = true;
      engine_.CancelAll();
      return;
    }
    if (parallel_ > 1) reporter_.progress(entryCount_, ++fetched_);
    StartMore();
  }

  const std::vector<PackageFileEntry>& fetch_;
  const int entryCount_;
  const StagingDirectories directories_;
  const IncrementalUpdateReporter& reporter_;
  const UpdateRules& rules_;
  const StagingFileOps& ops_;
  const int parallel_;
  TransferEngine engine_;
  std::vector<std::unique_ptr<RoadFetch>> fetches_;
  std::unordered_set<std::string> directoriesMade_;
  std::size_t next_ = 0;
  int active_ = 0;
  int fetched_ = 0;
  bool failed_ = false;
};

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
  // The whole list is judged before the first request: a hostile entry late
  // in the list must not find earlier files of the same release staged.
  const std::vector<PackageFileEntry> fetch = EntriesToFetch(remote, local);
  if (!AllEntriesStayInside(remote) || !EntriesNameDistinctFiles(fetch)) {
    LogEvent("update: the manifest names a path outside the install, or one file twice; nothing fetched");
    reporter.failed();
    return -1;
  }
  LogEvent("update: " + std::to_string(fetch.size()) + " of " + std::to_string(remote.file_list().size()) +
           " files to fetch");
  const StagingDirectories directories = {tempDirectory, installDirectory};
  StagingRun run(fetch, static_cast<int>(remote.file_list().size()), directories, reporter, rules, ops);
  if (!run.Run()) {
    reporter.failed();
    return -1;
  }
  reporter.ready();
  return 1;
}
