#include "publisher/release_plan.h"

#include <algorithm>
#include <set>

#include "publisher/cp936_text.h"
#include "publisher/publish_rules.h"
#include "publisher/release_drafts.h"
#include "update/manifest/safe_path.h"
#include "update/manifest/version_number.h"

namespace {

// The program at the top of every install, folded as Windows compares names.
constexpr char kProgramFolded[] = "zenquilostudent.exe";

// The options that no file needs to judge: --date (its code page 936 form
// set in date) and --version against the previous release's.
bool CheckReleaseOptions(const ReleaseOptions& options, std::string& date, std::string& refusal) {
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
  return true;
}

// A new draft for each file of the release directory, its act "reg" where a
// --reg pattern matches it. Refused: a path the client cannot install, or no
// file at all.
bool DraftReleaseFiles(const std::vector<ReleaseItem>& items, const std::vector<std::string>& regPatterns,
                       std::vector<Draft>& drafts, std::string& refusal) {
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
    for (const std::string& pattern : regPatterns) {
      if (MatchesGlob(pattern, item.path)) draft.act = kRegAct;
    }
    drafts.push_back(draft);
  }
  if (drafts.empty()) {
    refusal = "the release directory holds no files";
    return false;
  }
  return true;
}

void WarnUnmatchedPatterns(const std::vector<std::string>& regPatterns, const std::vector<Draft>& drafts,
                           std::vector<std::string>& warnings) {
  for (const std::string& pattern : regPatterns) {
    bool used = false;
    for (const Draft& draft : drafts) used = used || MatchesGlob(pattern, draft.path);
    if (!used) warnings.push_back("--reg " + Quoted(pattern) + " matches no file");
  }
}

// True, with refusal set, when a draft would delete the program. The program
// is the updater too: a PC that deletes it can never take the release that
// would bring it back. named: the paths --delete names.
bool DeletesTheProgram(const std::vector<Draft>& drafts, const std::set<std::string>& named, std::string& refusal) {
  for (const Draft& draft : drafts) {
    if (draft.act != kDeleteAct || FoldAsciiCase(draft.path) != kProgramFolded) continue;
    const std::string why = named.count(draft.path) != 0 ? "--delete names it"
                            : draft.status == EntryStatus::kSame
                                ? "the previous release deletes it, and this one would go on deleting it"
                                : "the release leaves it out, and the previous release has it";
    refusal = Quoted(draft.path) + " would get a \"delete\" entry (" + why +
              "): every PC would lose its launcher and updater; put the program in the release";
    return true;
  }
  return false;
}

// The manifest entry of a draft, and the file served for it.
bool WriteEntry(const Draft& draft, const std::string& baseUrl, PackageFileEntry& entry, PublishedFile& file,
                std::string& refusal) {
  file.path = draft.path;
  file.ver = std::to_string(draft.ver);
  file.servedPath = "files/" + file.ver + "/" + draft.path;
  file.status = draft.status;
  file.fromRelease = draft.fromRelease;
  file.hash = draft.hash;
  file.sha256 = draft.sha256;
  file.note = draft.note;

  std::string localPath, name;
  ManifestPath(draft.path, localPath, name);
  // Every path was checked before; this is the client's own rule, kept as a last guard.
  if (!IsSafeRelativePath(localPath + name)) {
    refusal = Quoted(draft.path) + ": the client would refuse this path";
    return false;
  }
  entry.set_name(name);
  entry.set_local_path(localPath);
  entry.set_remote_url(baseUrl + "/files/" + file.ver + "/" + PercentEncode(draft.path, true));
  entry.set_hash(draft.hash);
  entry.set_ver(file.ver);
  entry.set_act(draft.act);
  entry.set_sha256(draft.sha256);
  entry.set_size(draft.size);
  return true;
}

// The drafts, in path order, as plan's manifest entries and files to serve.
bool WriteEntries(std::vector<Draft>& drafts, const std::string& baseUrl, ReleasePlan& plan, std::string& refusal) {
  std::sort(drafts.begin(), drafts.end(), [](const Draft& a, const Draft& b) { return a.path < b.path; });
  std::vector<PackageFileEntry> entries;
  for (const Draft& draft : drafts) {
    PackageFileEntry entry;
    PublishedFile file;
    if (!WriteEntry(draft, baseUrl, entry, file, refusal)) return false;
    entries.push_back(entry);
    plan.files.push_back(file);
  }
  plan.manifest.set_file_list(entries);
  return true;
}

// The release's own fields: version, date (code page 936), share, expiry and installer.
void WriteReleaseFields(const ReleaseOptions& options, const std::string& date, ReleasePlan& plan) {
  plan.manifest.set_version(options.version);
  plan.manifest.set_package_date(date);
  plan.manifest.set_type("force");
  plan.manifest.set_expires(options.expires);
  plan.manifest.set_rollout(options.rollout);
  plan.manifest.set_full_update(!options.installerName.empty());
  if (options.installerName.empty()) return;
  plan.manifest.set_install_package_url(options.baseUrl + "/installer/" + PercentEncode(options.installerName, false));
  plan.manifest.set_install_package_sha256(options.installerSha256);
  plan.manifest.set_install_package_size(options.installerSize);
  plan.installerServedPath = "installer/" + options.installerName;
}

}  // namespace

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
  std::vector<Draft> drafts;
  if (!CheckReleaseOptions(options, date, refusal) || !DraftReleaseFiles(items, options.regPatterns, drafts, refusal)) {
    return false;
  }
  WarnUnmatchedPatterns(options.regPatterns, drafts, plan.warnings);

  PreviousIndex previous;
  if (options.hasPrevious && !IndexPrevious(options.previous, previous, refusal)) return false;
  if (!ContinuePreviousEntries(drafts, previous, refusal)) return false;
  std::set<std::string> named;
  std::vector<Draft> gone;
  if (!DraftDeleteList(options.deletePaths, previous, gone, named, refusal) ||
      !DraftLeftOut(drafts, previous, gone, refusal)) {
    return false;
  }
  drafts.insert(drafts.end(), gone.begin(), gone.end());

  if (DeletesTheProgram(drafts, named, refusal) || FindClash(drafts, refusal)) return false;
  if (!AlignSharedNames(drafts, options.previous, refusal)) return false;
  if (!WriteEntries(drafts, options.baseUrl, plan, refusal)) return false;
  WriteReleaseFields(options, date, plan);
  return true;
}
