#include "publisher/release_plan.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <set>

#include "publisher/cp936_text.h"
#include "publisher/publish_rules.h"
#include "update/proof/md5_checksum.h"
#include "update/manifest/safe_path.h"
#include "update/proof/sha256_digest.h"
#include "update/manifest/version_number.h"

namespace {

constexpr char kDeleteAct[] = "delete";
constexpr char kRegAct[] = "reg";
constexpr std::int64_t kMaxVer = std::numeric_limits<std::int32_t>::max();
// The program at the top of every install, folded as Windows compares names.
constexpr char kProgramFolded[] = "zenquilostudent.exe";

struct Draft {
  std::string path;
  std::string hash;
  std::string sha256;
  std::string act;
  long long size = 0;  // what is served: 0 for a "delete" entry's empty file
  std::int64_t ver = 1;
  EntryStatus status = EntryStatus::kNew;
  bool fromRelease = false;
  std::string note;
};

struct PreviousEntry {
  std::string path;  // UTF-8, "/" separators
  std::string hash;
  std::string sha256;  // empty in a release published before the digests
  std::string act;
  std::int64_t ver = 0;
  bool used = false;
};

// The previous entries by exact path and by path folded as Windows folds it.
struct PreviousIndex {
  std::vector<PreviousEntry> entries;
  std::map<std::string, size_t> exact;
  std::map<std::string, std::vector<size_t>> folded;

  PreviousEntry* Find(const std::string& path) {
    const auto hit = exact.find(path);
    if (hit != exact.end() && !entries[hit->second].used) return &entries[hit->second];
    const auto near = folded.find(FoldAsciiCase(path));
    if (near == folded.end()) return nullptr;
    for (size_t index : near->second) {
      if (!entries[index].used) return &entries[index];
    }
    return nullptr;
  }
};

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

std::string Quoted(const std::string& path) {
  return "\"" + path + "\"";
}

// Why the client could not install a file at this relative path; empty when it can.
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

// local_path ("\" separators, ending in "\" or empty) and name, in code page 936.
// Converted segment by segment: a trail byte 0x5C is never taken for a separator.
void ManifestPath(const std::string& path, std::string& localPath, std::string& name) {
  const std::vector<std::string> segments = SplitPath(path);
  localPath.clear();
  for (size_t i = 0; i + 1 < segments.size(); ++i) {
    std::string narrow;
    Utf8ToCp936(segments[i], narrow);
    localPath += narrow + "\\";
  }
  Utf8ToCp936(segments.back(), name);
}

bool NextVer(std::int64_t previous, std::int64_t& next) {
  next = std::max<std::int64_t>(previous, 0) + 1;
  return next <= kMaxVer;
}

bool LoadPrevious(const PackageManifest& previous, PreviousIndex& index, std::string& refusal) {
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

}  // namespace

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

const char* StatusWord(EntryStatus status) {
  switch (status) {
    case EntryStatus::kNew: return "new";
    case EntryStatus::kChanged: return "changed";
    case EntryStatus::kSame: return "same";
    case EntryStatus::kDeleted: return "deleted";
  }
  return "";
}

bool PlanRelease(const std::vector<ReleaseItem>& items, const ReleaseOptions& options, ReleasePlan& plan,
                 std::string& refusal) {
  plan = ReleasePlan();
  std::string date;
  if (!Utf8ToCp936(options.date, date)) {
    refusal = "--date " + Quoted(options.date) + ": code page 936 cannot hold it";
    return false;
  }
  // The client names the installer "setup" + date + ".exe" below its temp directory.
  if (!IsSafeFileNamePart(date) || !SegmentProblem("setup" + options.date + ".exe").empty()) {
    refusal = "--date " + Quoted(options.date) + ": it must be usable in a file name (no \"\\\", \"/\", \":\", \"..\")";
    return false;
  }
  if (options.hasPrevious && VersionNumber(options.version) <= VersionNumber(options.previous.version())) {
    refusal = "--version " + options.version + " is not greater than the previous release's version " +
              Quoted(options.previous.version());
    return false;
  }

  std::vector<Draft> drafts;
  for (const ReleaseItem& item : items) {
    const std::string problem = PathProblem(item.path);
    if (!problem.empty()) {
      refusal = Quoted(item.path) + ": " + problem;
      return false;
    }
    if (item.isDirectory) continue;
    Draft draft;
    draft.path = item.path;
    draft.hash = item.hash;
    draft.sha256 = item.sha256;
    draft.size = item.size;
    draft.fromRelease = true;
    for (const std::string& pattern : options.regPatterns) {
      if (MatchesGlob(pattern, item.path)) draft.act = kRegAct;
    }
    drafts.push_back(draft);
  }
  if (drafts.empty()) {
    refusal = "the release directory holds no files";
    return false;
  }
  for (const std::string& pattern : options.regPatterns) {
    bool used = false;
    for (const Draft& draft : drafts) used = used || MatchesGlob(pattern, draft.path);
    if (!used) plan.warnings.push_back("--reg " + Quoted(pattern) + " matches no file");
  }

  PreviousIndex previous;
  if (options.hasPrevious && !LoadPrevious(options.previous, previous, refusal)) return false;

  for (Draft& draft : drafts) {
    PreviousEntry* before = previous.Find(draft.path);
    if (before == nullptr) continue;
    before->used = true;
    if (before->act != kDeleteAct && SameContent(*before, draft) && before->act == draft.act &&
        before->path == draft.path) {
      draft.status = EntryStatus::kSame;
      draft.ver = before->ver;
      continue;
    }
    draft.status = EntryStatus::kChanged;
    if (before->path != draft.path) draft.note = "was " + Quoted(before->path);
    else if (before->act == kDeleteAct) draft.note = "back after its deletion";
    else if (SameContent(*before, draft)) draft.note = "act changed from " + Quoted(before->act);
    else if (before->hash == draft.hash) draft.note = "same MD5 as before, other SHA-256";
    if (!NextVer(before->ver, draft.ver)) {
      refusal = Quoted(draft.path) + ": ver cannot be raised past 2147483647";
      return false;
    }
  }

  const std::string emptyHash = EmptyFileHash();
  const std::string emptySha256 = Sha256HexOfBytes(std::string());
  std::set<std::string> deleteSeen;
  std::vector<Draft> gone;
  for (const std::string& path : options.deletePaths) {
    const std::string problem = PathProblem(path);
    if (!problem.empty()) {
      refusal = "--delete " + Quoted(path) + ": " + problem;
      return false;
    }
    if (!deleteSeen.insert(path).second) continue;
    Draft draft;
    draft.path = path;
    draft.hash = emptyHash;
    draft.sha256 = emptySha256;
    draft.act = kDeleteAct;
    draft.status = EntryStatus::kDeleted;
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

  std::set<std::string> present;
  for (const Draft& draft : drafts) present.insert(FoldAsciiCase(draft.path));
  for (const Draft& draft : gone) present.insert(FoldAsciiCase(draft.path));
  for (PreviousEntry& before : previous.entries) {
    if (before.used) continue;
    // A second previous entry for a path that this release already covers
    // (a hand-made manifest's case twin): deleting it would delete ours.
    if (present.count(FoldAsciiCase(before.path)) != 0) continue;
    Draft draft;
    draft.path = before.path;
    draft.hash = emptyHash;
    draft.sha256 = emptySha256;
    draft.act = kDeleteAct;
    if (before.act == kDeleteAct) {
      draft.status = EntryStatus::kSame;
      draft.ver = before.ver;
    } else {
      draft.status = EntryStatus::kDeleted;
      if (!NextVer(before.ver, draft.ver)) {
        refusal = Quoted(before.path) + ": ver cannot be raised past 2147483647";
        return false;
      }
    }
    present.insert(FoldAsciiCase(before.path));
    gone.push_back(draft);
  }
  drafts.insert(drafts.end(), gone.begin(), gone.end());

  // The program is the updater too: a PC that deletes it can never take the
  // release that would bring it back.
  for (const Draft& draft : drafts) {
    if (draft.act != kDeleteAct || FoldAsciiCase(draft.path) != kProgramFolded) continue;
    const std::string why = deleteSeen.count(draft.path) != 0 ? "--delete names it"
                            : draft.status == EntryStatus::kSame
                                ? "the previous release deletes it, and this one would go on deleting it"
                                : "the release leaves it out, and the previous release has it";
    refusal = Quoted(draft.path) + " would get a \"delete\" entry (" + why +
              "): every PC would lose its launcher and updater; put the program in the release";
    return false;
  }

  if (FindClash(drafts, refusal)) return false;
  if (!AlignSharedNames(drafts, options.previous, refusal)) return false;
  std::sort(drafts.begin(), drafts.end(), [](const Draft& a, const Draft& b) { return a.path < b.path; });

  std::vector<PackageFileEntry> entries;
  for (const Draft& draft : drafts) {
    PublishedFile file;
    file.path = draft.path;
    file.ver = std::to_string(draft.ver);
    file.servedPath = "files/" + file.ver + "/" + draft.path;
    file.status = draft.status;
    file.fromRelease = draft.fromRelease;
    file.hash = draft.hash;
    file.sha256 = draft.sha256;
    file.note = draft.note;

    PackageFileEntry entry;
    std::string localPath, name;
    ManifestPath(draft.path, localPath, name);
    // Every path was checked above; this is the client's own rule, kept as a last guard.
    if (!IsSafeRelativePath(localPath + name)) {
      refusal = Quoted(draft.path) + ": the client would refuse this path";
      return false;
    }
    entry.set_name(name);
    entry.set_local_path(localPath);
    entry.set_remote_url(options.baseUrl + "/files/" + file.ver + "/" + PercentEncode(draft.path, true));
    entry.set_hash(draft.hash);
    entry.set_ver(file.ver);
    entry.set_act(draft.act);
    entry.set_sha256(draft.sha256);
    entry.set_size(draft.size);
    entries.push_back(entry);
    plan.files.push_back(file);
  }

  plan.manifest.set_version(options.version);
  plan.manifest.set_package_date(date);
  plan.manifest.set_type("force");
  plan.manifest.set_expires(options.expires);
  plan.manifest.set_rollout(options.rollout);
  plan.manifest.set_full_update(!options.installerName.empty());
  if (!options.installerName.empty()) {
    plan.manifest.set_install_package_url(options.baseUrl + "/installer/" +
                                          PercentEncode(options.installerName, false));
    plan.manifest.set_install_package_sha256(options.installerSha256);
    plan.manifest.set_install_package_size(options.installerSize);
    plan.installerServedPath = "installer/" + options.installerName;
  }
  plan.manifest.set_file_list(entries);
  return true;
}
