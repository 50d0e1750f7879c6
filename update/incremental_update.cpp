#include "update/incremental_update.h"

#include <cstdio>

#include "platform/narrow_file.h"
#include "update/http_transfer.h"
#include "update/md5_checksum.h"
#include "update/safe_path.h"
#include "update/update_check.h"
#include "update/version_number.h"

#ifndef _WIN32
#include <sys/stat.h>

#include <cerrno>

#include "platform/directory_tree.h"
#endif

namespace {

bool FileExists(const std::string& path) {
  std::FILE* file = OpenNarrowPath(path, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// Downloads entry into partialPath and moves it onto stagedPath only once its
// digest matches the manifest's. True when stagedPath now holds the proved file.
bool FetchAndProve(const PackageFileEntry& entry, const std::string& stagedPath, const StagingFileOps& ops) {
  // The digest of a file that never arrived is empty too: an empty hash would
  // report a missing file as proved.
  if (entry.hash().empty()) return false;

  const std::string partialPath = stagedPath + kPartialDownloadSuffix;
  // A leftover of an interrupted run must not be judged as this transfer's file.
  ops.removeFile(partialPath);

  HttpTransfer http;
  DownloadTarget target;
  target.fileName = partialPath.c_str();
  const int result = http.Download(entry.remote_url(), target);
  // A whole 2xx answer with no body is an empty file, which the transfer
  // never creates: create it, so a release may carry an empty file.
  if (result == 0 && !FileExists(partialPath)) {
    if (std::FILE* empty = OpenNarrowPath(partialPath, "wb")) std::fclose(empty);
  }

  if (CMD5Checksum::HashFile(partialPath) != entry.hash() || !ops.replaceFile(partialPath, stagedPath)) {
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

// rename() replaces an existing target in one step.
bool ReplaceFilePosix(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void RemoveFilePosix(const std::string& path) {
  std::remove(path.c_str());
}
#endif

}  // namespace

#ifndef _WIN32
const StagingFileOps& NativeStagingFileOps() {
  static const StagingFileOps ops = {&MakeDirectoriesPosix, &ReplaceFilePosix, &RemoveFilePosix};
  return ops;
}
#endif

bool AllEntriesStayInside(const PackageManifest& remote) {
  for (const PackageFileEntry& entry : remote.file_list()) {
    if (!IsSafeRelativePath(entry.local_path() + entry.name())) return false;
  }
  return true;
}

std::vector<PackageFileEntry> EntriesToFetch(const PackageManifest& remote, const PackageManifest& local) {
  std::vector<PackageFileEntry> fetch;
  for (const PackageFileEntry& entry : remote.file_list()) {
    if (CompareVersions(entry.ver(), FindEntryByName(local, entry.name()).ver()) == 1) fetch.push_back(entry);
  }
  return fetch;
}

std::string StagedPath(const std::string& tempDirectory, const PackageFileEntry& entry) {
  return tempDirectory + entry.local_path() + entry.name();
}

int RunIncrementalUpdateIn(const PackageManifest& remote, const PackageManifest& local,
                           const std::string& tempDirectory, const IncrementalUpdateReporter& reporter,
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
    if (!FetchAndProve(entry, StagedPath(tempDirectory, entry), ops)) {
      reporter.failed();
      return -1;
    }
  }
  reporter.ready();
  return 1;
}
