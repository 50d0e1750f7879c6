#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "publisher/entry_status.h"
#include "update/manifest/package_manifest.h"

// The working form of PlanRelease (release_plan.h): the entries of the
// release being planned as drafts, and the stages that hold them against the
// previous release. Every stage returns false with refusal set to one line
// that names the path and the reason. Pure; any thread.

inline constexpr char kDeleteAct[] = "delete";
inline constexpr char kRegAct[] = "reg";

// One entry the new manifest will carry, before its ver is written as text.
struct Draft {
  std::string path;  // UTF-8 install path, "/" separators
  std::string hash;
  std::string sha256;
  std::string act;
  long long size = 0;  // what is served: 0 for a "delete" entry's empty file
  std::int64_t ver = 1;
  EntryStatus status = EntryStatus::kNew;
  bool fromRelease = false;
  std::string note;
};

// One entry of the previous manifest, the first of its install path.
struct PreviousEntry {
  std::string path;  // UTF-8, "/" separators
  std::string hash;
  std::string sha256;  // empty in a release published before the digests
  std::string act;
  std::int64_t ver = 0;
  bool used = false;  // a draft of this release continues it
};

// The previous entries by exact path and by path folded as Windows folds it.
struct PreviousIndex {
  std::vector<PreviousEntry> entries;
  std::map<std::string, size_t> exact;
  std::map<std::string, std::vector<size_t>> folded;

  // The entry a draft of path continues: its own, else an unused one whose
  // path differs only in letter case; nullptr when there is none.
  PreviousEntry* Find(const std::string& path);
};

std::string Quoted(const std::string& text);

// The install path of an earlier manifest's entry as the publisher names paths
// (UTF-8, "/" separators). False, with problem set to one line, when it is not
// code page 936 text or not a path the client could install.
bool EntryInstallPath(const PackageFileEntry& entry, std::string& path, std::string& problem);

// Why the client could not install a file at this relative path; empty when it can.
std::string PathProblem(const std::string& path);

// local_path ("\" separators, ending in "\" or empty) and name, in code page
// 936, of a path PathProblem accepts.
void ManifestPath(const std::string& path, std::string& localPath, std::string& name);

// The previous manifest's entries, each path's first; refused when one of
// them names no path the client could install.
bool IndexPrevious(const PackageManifest& previous, PreviousIndex& index, std::string& refusal);

// Each draft's status, ver and note against the previous entry it continues,
// which is marked used.
bool ContinuePreviousEntries(std::vector<Draft>& drafts, PreviousIndex& previous, std::string& refusal);

// A "delete" entry for each path of --delete (once each, its paths added to
// named), continuing the previous entry of that path.
bool DraftDeleteList(const std::vector<std::string>& deletePaths, PreviousIndex& previous, std::vector<Draft>& gone,
                     std::set<std::string>& named, std::string& refusal);

// A "delete" entry for each previous entry that neither drafts nor gone
// cover, added to gone.
bool DraftLeftOut(const std::vector<Draft>& drafts, PreviousIndex& previous, std::vector<Draft>& gone,
                  std::string& refusal);

// True, with refusal set, when two drafts would be one file on Windows, or
// one needs a directory where another is a file.
bool FindClash(const std::vector<Draft>& drafts, std::string& refusal);

// One ver for all drafts that share a name, raised for all when any changed.
bool AlignSharedNames(std::vector<Draft>& drafts, const PackageManifest& previous, std::string& refusal);
