#include "update/incremental_update.h"

#include "platform/narrow_file.h"
#include "update/delta/fetch_roads.h"
#include "update/manifest/safe_path.h"
#include "update/update_check.h"
#include "update/manifest/version_number.h"

#ifdef _WIN32
#include "platform/paths.h"
#else
#include <sys/stat.h>

#include <cerrno>

#include "platform/directory_tree.h"
#endif

namespace {

// Fetches entry into partialPath by the cheapest road and moves it onto
// stagedPath only once it is proved. True when stagedPath now holds the proved file.
bool FetchAndProve(const PackageFileEntry& entry, const std::string& stagedPath, const std::string& installedPath,
                   const UpdateRules& rules, const StagingFileOps& ops) {
  // The download starts by removing a leftover of an interrupted run, which
  // must not be judged as this transfer's file.
  const std::string partialPath = stagedPath + kPartialDownloadSuffix;
  FetchRoad road = FetchRoad::kFull;
  if (!FetchByCheapestRoad(entry, installedPath, partialPath, rules.trust, rules.retry, road)) return false;
  if (!ops.replaceFile(partialPath, stagedPath)) {
    ops.removeFile(partialPath);
    return false;
  }
  return true;
}

#ifndef _WIN32
int MakeDirectoriesPosix(const std::string& path) {
  for (const std::string& prefix : DirectoryPrefixes(path)) {
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return -1;
  }
  return 0;
}
#endif

void RemoveStagedFile(const std::string& path) {
  RemoveNarrowPath(path);
}

}  // namespace

const StagingFileOps& NativeStagingFileOps() {
#ifdef _WIN32
  static const StagingFileOps ops = {&MakeDirectoryTree, &ReplaceNarrowPath, &RemoveStagedFile};
#else
  static const StagingFileOps ops = {&MakeDirectoriesPosix, &ReplaceNarrowPath, &RemoveStagedFile};
#endif
  return ops;
}

bool AllEntriesStayInside(const PackageManifest& remote) {
  for (const PackageFileEntry& entry : remote.file_list()) {
    if (!IsSafeRelativePath(entry.local_path() + entry.name())) return false;
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
  if (!AllEntriesStayInside(remote)) {
    reporter.failed();
    return -1;
  }

  int fetched = 0;
  for (const PackageFileEntry& entry : EntriesToFetch(remote, local)) {
    reporter.progress(entryCount, ++fetched);
    // Failures here surface below: the file cannot be created, so it is not proved.
    ops.makeDirectories(tempDirectory + entry.local_path());
    if (!FetchAndProve(entry, StagedPath(tempDirectory, entry), StagedPath(installDirectory, entry), rules, ops)) {
      reporter.failed();
      return -1;
    }
  }
  reporter.ready();
  return 1;
}
