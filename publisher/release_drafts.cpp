#include "publisher/release_drafts.h"

#include <algorithm>
#include <limits>

#include "publisher/cp936_text.h"
#include "publisher/publish_rules.h"
#include "update/manifest/version_number.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"

namespace {

constexpr std::int64_t kMaxVer = std::numeric_limits<std::int32_t>::max();

std::string EmptyFileHash() {
  CMD5Checksum md5;
  return md5.Final();
}

// A previous entry holds the same bytes when both digests it has agree. An
// entry without SHA-256 predates it; with one that differs while the MD5
// agrees, the file was made to collide and must be served again.
bool SameContent(const PreviousEntry& before, const Draft& draft) {
  return before.hash == draft.hash && (before.sha256.empty() || before.sha256 == draft.sha256);
}

bool NextVer(std::int64_t previous, std::int64_t& next) {
  next = std::max<std::int64_t>(previous, 0) + 1;
  return next <= kMaxVer;
}

// A "delete" entry's draft: an empty file served in the place of path.
Draft DeletionOf(const std::string& path) {
  Draft draft;
  draft.path = path;
  draft.hash = EmptyFileHash();
  draft.sha256 = Sha256HexOfBytes(std::string());
  draft.act = kDeleteAct;
  draft.status = EntryStatus::kDeleted;
  return draft;
}

// draft against the previous entry of its path: the same ver when nothing
// changed, the next one (with the reason, where it is not obvious) otherwise.
bool ContinueEntry(const PreviousEntry& before, Draft& draft, std::string& refusal) {
  if (before.act != kDeleteAct && SameContent(before, draft) && before.act == draft.act && before.path == draft.path) {
    draft.status = EntryStatus::kSame;
    draft.ver = before.ver;
    return true;
  }
  draft.status = EntryStatus::kChanged;
  if (before.path != draft.path) draft.note = "was " + Quoted(before.path);
  else if (before.act == kDeleteAct) draft.note = "back after its deletion";
  else if (SameContent(before, draft)) draft.note = "act changed from " + Quoted(before.act);
  else if (before.hash == draft.hash) draft.note = "same MD5 as before, other SHA-256";
  if (!NextVer(before.ver, draft.ver)) {
    refusal = Quoted(draft.path) + ": ver cannot be raised past 2147483647";
    return false;
  }
  return true;
}

}  // namespace

PreviousEntry* PreviousIndex::Find(const std::string& path) {
  const auto hit = exact.find(path);
  if (hit != exact.end() && !entries[hit->second].used) return &entries[hit->second];
  const auto near = folded.find(FoldAsciiCase(path));
  if (near == folded.end()) return nullptr;
  for (size_t index : near->second) {
    if (!entries[index].used) return &entries[index];
  }
  return nullptr;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

std::string PathProblem(const std::string& path) {
  const std::vector<std::string> segments = SplitPath(path);
  for (const std::string& segment : segments) {
    const std::string problem = SegmentProblem(segment);
    if (!problem.empty()) return problem;
    std::string narrow;
    if (!Utf8ToCp936(segment, narrow)) {
      return "code page 936 cannot hold the name " + Quoted(segment) + " (the client reads names in it)";
    }
  }
  const std::string top = FoldAsciiCase(segments.front());
  if (segments.size() == 1 && top == "package.json") return "\"package.json\" at the top is the client's own manifest";
  if (top == "temp") return "\"temp\" at the top is the client's staging directory for updates";
  return std::string();
}

void ManifestPath(const std::string& path, std::string& localPath, std::string& name) {
  // Converted segment by segment: a trail byte 0x5C is never taken for a separator.
  const std::vector<std::string> segments = SplitPath(path);
  localPath.clear();
  for (size_t i = 0; i + 1 < segments.size(); ++i) {
    std::string narrow;
    Utf8ToCp936(segments[i], narrow);
    localPath += narrow + "\\";
  }
  Utf8ToCp936(segments.back(), name);
}

bool IndexPrevious(const PackageManifest& previous, PreviousIndex& index, std::string& refusal) {
  for (const PackageFileEntry& entry : previous.file_list()) {
    std::string path, problem;
    if (!EntryInstallPath(entry, path, problem)) {
      refusal = "--previous: " + problem;
      return false;
    }
    // The first entry of a path is the one the client finds.
    if (index.exact.count(path) != 0) continue;
    index.exact[path] = index.entries.size();
    index.folded[FoldAsciiCase(path)].push_back(index.entries.size());
    index.entries.push_back({path, entry.hash(), entry.sha256(), entry.act(), VersionNumber(entry.ver()), false});
  }
  return true;
}

bool ContinuePreviousEntries(std::vector<Draft>& drafts, PreviousIndex& previous, std::string& refusal) {
  for (Draft& draft : drafts) {
    PreviousEntry* before = previous.Find(draft.path);
    if (before == nullptr) continue;
    before->used = true;
    if (!ContinueEntry(*before, draft, refusal)) return false;
  }
  return true;
}

bool DraftDeleteList(const std::vector<std::string>& deletePaths, PreviousIndex& previous, std::vector<Draft>& gone,
                     std::set<std::string>& named, std::string& refusal) {
  for (const std::string& path : deletePaths) {
    const std::string problem = PathProblem(path);
    if (!problem.empty()) {
      refusal = "--delete " + Quoted(path) + ": " + problem;
      return false;
    }
    if (!named.insert(path).second) continue;
    Draft draft = DeletionOf(path);
    PreviousEntry* before = previous.Find(path);
    if (before != nullptr) {
      before->used = true;
      if (before->act == kDeleteAct && before->path == path) {
        draft.status = EntryStatus::kSame;
        draft.ver = before->ver;
      } else if (!NextVer(before->ver, draft.ver)) {
        refusal = "--delete " + Quoted(path) + ": ver cannot be raised past 2147483647";
        return false;
      }
    }
    gone.push_back(draft);
  }
  return true;
}

bool DraftLeftOut(const std::vector<Draft>& drafts, PreviousIndex& previous, std::vector<Draft>& gone,
                  std::string& refusal) {
  std::set<std::string> present;
  for (const Draft& draft : drafts) present.insert(FoldAsciiCase(draft.path));
  for (const Draft& draft : gone) present.insert(FoldAsciiCase(draft.path));
  for (const PreviousEntry& before : previous.entries) {
    if (before.used) continue;
    // A second previous entry for a path that this release already covers
    // (a hand-made manifest's case twin): deleting it would delete ours.
    if (present.count(FoldAsciiCase(before.path)) != 0) continue;
    Draft draft = DeletionOf(before.path);
    if (before.act == kDeleteAct) {
      draft.status = EntryStatus::kSame;
      draft.ver = before.ver;
    } else if (!NextVer(before.ver, draft.ver)) {
      refusal = Quoted(before.path) + ": ver cannot be raised past 2147483647";
      return false;
    }
    present.insert(FoldAsciiCase(before.path));
    gone.push_back(draft);
  }
  return true;
}

// Two entries that Windows would put at the same place, or a file where
// another entry needs a directory: the client would lose one of them, or
// could not stage both under "temp\".
bool FindClash(const std::vector<Draft>& drafts, std::string& refusal) {
  std::map<std::string, std::string> files;
  for (const Draft& draft : drafts) {
    const auto inserted = files.emplace(FoldAsciiCase(draft.path), draft.path);
    if (!inserted.second) {
      refusal = Quoted(draft.path) + " and " + Quoted(inserted.first->second) +
                " differ only in letter case; on Windows they are one file";
      return true;
    }
  }
  for (const Draft& draft : drafts) {
    const std::string folded = FoldAsciiCase(draft.path);
    for (size_t slash = folded.find('/'); slash != std::string::npos; slash = folded.find('/', slash + 1)) {
      const auto file = files.find(folded.substr(0, slash));
      if (file != files.end()) {
        refusal = Quoted(draft.path) + " needs a directory where " + Quoted(file->second) +
                  " is a file (in this release, its --delete list or the previous manifest)";
        return true;
      }
    }
  }
  return false;
}

// The client finds an entry's installed counterpart by name alone, the first
// of that name in its manifest, whatever the directory. Entries that share a
// name therefore share one ver, raised for all when any of them changes;
// otherwise a change to the second could compare against the first's ver and
// never be fetched.
bool AlignSharedNames(std::vector<Draft>& drafts, const PackageManifest& previous, std::string& refusal) {
  std::map<std::string, std::vector<size_t>> byName;
  for (size_t i = 0; i < drafts.size(); ++i) {
    std::string localPath, name;
    ManifestPath(drafts[i].path, localPath, name);
    byName[name].push_back(i);
  }
  std::map<std::string, std::set<std::int64_t>> previousVers;
  for (const PackageFileEntry& entry : previous.file_list()) {
    previousVers[entry.name()].insert(VersionNumber(entry.ver()));
  }
  for (const auto& group : byName) {
    if (group.second.size() < 2) continue;
    const std::set<std::int64_t>& before = previousVers[group.first];
    bool unchanged = before.size() <= 1;
    for (size_t i : group.second) unchanged = unchanged && drafts[i].status == EntryStatus::kSame;
    if (unchanged) continue;
    const std::int64_t highest = before.empty() ? 0 : *before.rbegin();
    std::int64_t shared = 0;
    if (!NextVer(highest, shared)) {
      refusal = Quoted(drafts[group.second.front()].path) + ": ver cannot be raised past 2147483647";
      return false;
    }
    for (size_t i : group.second) {
      Draft& draft = drafts[i];
      if (draft.ver == shared) continue;
      draft.ver = shared;
      if (draft.status == EntryStatus::kSame) {
        draft.status = draft.fromRelease ? EntryStatus::kChanged : EntryStatus::kDeleted;
        draft.note = "served again: the client matches files by name, and this name is shared";
      }
    }
  }
  return true;
}

bool EntryInstallPath(const PackageFileEntry& entry, std::string& path, std::string& problem) {
  if (!Cp936ToUtf8(entry.local_path() + entry.name(), path)) {
    problem = "an entry's local_path and name are not code page 936 text";
    return false;
  }
  // UTF-8 holds 0x5C only as "\", so the separators can be turned here.
  std::replace(path.begin(), path.end(), '\\', '/');
  const std::string why = PathProblem(path);
  if (!why.empty()) {
    problem = "entry " + Quoted(path) + ": " + why;
    return false;
  }
  return true;
}
