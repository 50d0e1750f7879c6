#include "publisher/publisher.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <iomanip>
#include <limits>
#include <map>

#include "publisher/command_line.h"
#include "publisher/manifest_writer.h"
#include "publisher/operator_commands.h"
#include "publisher/publish_rules.h"
#include "publisher/published_urls.h"
#include "publisher/release_keys.h"
#include "publisher/release_plan.h"
#include "publisher/release_tree.h"
#include "publisher/smaller_forms.h"
#include "update/manifest/package_manifest.h"
#include "update/manifest/version_number.h"

namespace {

constexpr char kUsage[] =
    "usage: zq_publish --release-dir DIR --version N --date DATE --base-url URL --out DIR\n"
    "                  [--previous FILE]... [--reg PATTERN]... [--delete RELPATH]... [--installer FILE]\n"
    "                  [--sign-key FILE [--expires DAYS]]\n"
    "                  [--delta-releases K] [--zstd-level N] [--no-smaller-forms] [--rollout PERCENT]\n"
    "       zq_publish rollout --out DIR --percent PERCENT [--sign-key FILE]\n"
    "       zq_publish rollback --to PUBLISHED_DIR --version N --out DIR --previous FILE [--previous FILE]...\n"
    "                  [--base-url URL] [--date DATE] [the options of a release]\n"
    "       zq_publish keygen --out PREFIX\n";

bool ParseArguments(const std::vector<std::string>& arguments, CommandLine& parsed, std::string& problem) {
  OptionNames names;
  names.single = {"--release-dir", "--version", "--date",       "--base-url",       "--out",    "--installer",
                  "--sign-key",    "--expires", "--zstd-level", "--delta-releases", "--rollout"};
  names.repeated = {"--reg", "--delete", "--previous"};
  names.flags = {"--no-smaller-forms"};
  names.required = {"--release-dir", "--version", "--date", "--base-url", "--out"};
  if (!ParseCommandLine(arguments, names, parsed, problem)) return false;
  const std::string version = parsed.Value("--version");
  // The client reads numbers with strtol into 32 bits: a larger one would
  // saturate and could no longer be told from the next.
  if (!IsVerText(version) || std::stoll(version) > std::numeric_limits<std::int32_t>::max()) {
    problem = "--version must be decimal digits, at most 2147483647";
    return false;
  }
  const std::string base = parsed.Value("--base-url");
  bool plain = base.compare(0, 7, "http://") == 0 || base.compare(0, 8, "https://") == 0;
  for (char c : base) plain = plain && static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
  if (!plain) {
    problem = "--base-url must be an http:// or https:// URL of printable ASCII";
    return false;
  }
  int number = 0;
  if (parsed.Has("--zstd-level") && !SmallNumber(parsed.Value("--zstd-level"), 1, 19, number)) {
    problem = "--zstd-level must be a number from 1 to 19";
    return false;
  }
  // The client reads at most 16 deltas of a file.
  if (parsed.Has("--delta-releases") && !SmallNumber(parsed.Value("--delta-releases"), 0, 16, number)) {
    problem = "--delta-releases must be a number from 0 to 16";
    return false;
  }
  if (parsed.Has("--rollout") && !SmallNumber(parsed.Value("--rollout"), 0, 100, number)) {
    problem = "--rollout must be a share in percent, from 0 to 100";
    return false;
  }
  for (std::string& path : parsed.repeated["--delete"]) {
    // An operator on Windows may well type "bin\old.dll".
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
  }
  return true;
}

bool IsEmptyDirectoryOrMissing(const fs::path& path) {
  std::error_code error;
  if (!fs::exists(path, error)) return !error;
  return fs::is_directory(path, error) && fs::is_empty(path, error) && !error;
}

// A release signed before and unsigned now, or signed now with another key,
// is refused by every client that demands the first key: worth a warning.
void CheckPreviousSignature(const std::string& previousText, const fs::path& previousPath, const SigningKey& key,
                            std::vector<std::string>& warnings) {
  fs::path signaturePath = previousPath;
  signaturePath += ".sig";
  std::string signature;
  std::error_code error;
  if (!fs::exists(signaturePath, error) || !ReadWholeFile(signaturePath, signature)) return;
  if (!key.loaded()) {
    warnings.push_back("the previous release is signed and this one is not; clients built with a release key "
                       "will refuse it (add --sign-key)");
  } else if (!VerifyReleaseSignature(previousText, signature, key.PublicKey())) {
    warnings.push_back("the previous release's signature does not verify with this key; clients that trust the "
                       "key that signed it will refuse this release");
  }
}

// The earlier releases named by --previous, newest first: the first is the
// one this release continues. A process exit code, or 0.
int LoadEarlierReleases(const std::vector<std::string>& paths, const SigningKey& key,
                        std::vector<EarlierRelease>& earlier, std::vector<std::string>& warnings, std::ostream& err) {
  std::vector<std::string> texts;
  for (const std::string& text : paths) {
    const fs::path path = PathFromUtf8(text);
    EarlierRelease release;
    std::string manifestText;
    if (!ReadWholeFile(path, manifestText)) {
      err << "zq_publish: cannot read --previous \"" << text << "\"\n";
      return kPublishIoError;
    }
    if (PackageManifestParser::Parse(manifestText, release.manifest) != 0) {
      err << "zq_publish: --previous \"" << text << "\" is not a package manifest\n";
      return kPublishRefused;
    }
    release.directory = path.parent_path();
    earlier.push_back(release);
    texts.push_back(manifestText);
  }
  std::vector<size_t> order(earlier.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto version = [&](size_t i) { return VersionNumber(earlier[i].manifest.version()); };
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return version(a) > version(b); });
  for (size_t i = 1; i < order.size(); ++i) {
    // Which of them would this release continue? Not a guess to make.
    if (version(order[i]) == version(order[i - 1])) {
      err << "zq_publish: --previous \"" << paths[order[i - 1]] << "\" and \"" << paths[order[i]]
          << "\" are both version " << version(order[i]) << "\n";
      return kPublishBadArguments;
    }
  }
  std::vector<EarlierRelease> sorted;
  for (size_t i : order) sorted.push_back(earlier[i]);
  earlier.swap(sorted);
  if (!order.empty()) CheckPreviousSignature(texts[order[0]], PathFromUtf8(paths[order[0]]), key, warnings);
  return 0;
}

void PrintSummary(const ReleasePlan& plan, const std::vector<std::vector<std::string>>& formNotes,
                  const std::string& outText, std::ostream& out) {
  std::map<EntryStatus, int> counts;
  for (size_t i = 0; i < plan.files.size(); ++i) {
    const PublishedFile& file = plan.files[i];
    ++counts[file.status];
    out << std::left << std::setw(8) << StatusWord(file.status) << " ver " << std::setw(5) << file.ver << ' '
        << file.path;
    if (!file.note.empty()) out << "  (" << file.note << ')';
    out << '\n';
    if (i < formNotes.size()) {
      for (const std::string& note : formNotes[i]) out << "           " << note << '\n';
    }
  }
  if (!plan.installerServedPath.empty()) out << "installer " << plan.installerServedPath << '\n';
  out << "published version " << plan.manifest.version() << (plan.manifest.full_update() ? " (full)" : "") << ": "
      << plan.files.size() << " files, " << counts[EntryStatus::kNew] << " new, " << counts[EntryStatus::kChanged]
      << " changed, " << counts[EntryStatus::kSame] << " same, " << counts[EntryStatus::kDeleted] << " deleted, in "
      << outText << '\n';
}

}  // namespace

int RunPublisher(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  return RunPublisher(arguments, out, err, FormEncoder());
}

int RunPublisher(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                 const FormEncoder& encoder) {
  const std::string command = arguments.empty() ? std::string() : arguments.front();
  const std::vector<std::string> rest(arguments.begin() + (command.empty() ? 0 : 1), arguments.end());
  if (command == "keygen") return RunKeygen(rest, out, err);
  if (command == "rollout") return RunRollout(rest, out, err);
  if (command == "rollback") return RunRollback(rest, out, err, encoder);
  CommandLine parsed;
  std::string problem;
  if (!ParseArguments(arguments, parsed, problem)) {
    err << "zq_publish: " << problem << '\n' << kUsage;
    return kPublishBadArguments;
  }
  const bool smallerForms = parsed.flags.count("--no-smaller-forms") == 0;
  const fs::path releaseDir = PathFromUtf8(parsed.Value("--release-dir"));
  std::error_code error;
  if (!fs::is_directory(releaseDir, error)) {
    err << "zq_publish: --release-dir \"" << parsed.Value("--release-dir") << "\" is not a directory\n";
    return kPublishBadArguments;
  }
  const fs::path outDir = fs::absolute(PathFromUtf8(parsed.Value("--out")), error).lexically_normal();
  const fs::path outPath = outDir.filename().empty() ? outDir.parent_path() : outDir;
  if (!IsEmptyDirectoryOrMissing(outPath)) {
    err << "zq_publish: --out \"" << parsed.Value("--out")
        << "\" exists and is not an empty directory; a published release is never overwritten\n";
    return kPublishBadArguments;
  }
  const fs::path canonicalRelease = fs::canonical(releaseDir, error);
  const fs::path outParent = fs::weakly_canonical(outPath, error);
  const fs::path inside = outParent.lexically_relative(canonicalRelease);
  if (!inside.empty() && *inside.begin() != "..") {
    err << "zq_publish: --out must not lie inside --release-dir (it would be published next time)\n";
    return kPublishBadArguments;
  }

  // Before anything is read or written: a key that others can read is
  // refused whatever else the release holds.
  SigningKey key;
  if (parsed.Has("--sign-key") && !LoadSigningKey(PathFromUtf8(parsed.Value("--sign-key")), key, problem)) {
    err << "zq_publish: --sign-key \"" << parsed.Value("--sign-key") << "\" " << problem << '\n';
    return kPublishBadArguments;
  }

  ReleaseOptions options;
  if (parsed.Has("--expires")) {
    // Only a client with a key reads the expiry, and only a signature keeps
    // anyone from removing it: on an unsigned release it would promise nothing.
    if (!parsed.Has("--sign-key")) {
      err << "zq_publish: --expires needs --sign-key\n";
      return kPublishBadArguments;
    }
    if (!ExpiryFromDays(parsed.Value("--expires"), std::time(nullptr), options.expires)) {
      err << "zq_publish: --expires \"" << parsed.Value("--expires") << "\" is not a number of days from 1 to 3650\n";
      return kPublishBadArguments;
    }
  }
  options.version = parsed.Value("--version");
  options.date = parsed.Value("--date");
  options.baseUrl = TrimTrailingSlashes(parsed.Value("--base-url"));
  options.regPatterns = parsed.Values("--reg");
  options.deletePaths = parsed.Values("--delete");
  if (parsed.Has("--rollout")) options.rollout = std::stoi(parsed.Value("--rollout"));

  fs::path installer;
  if (parsed.Has("--installer")) {
    installer = PathFromUtf8(parsed.Value("--installer"));
    if (!fs::is_regular_file(installer, error) || !Utf8FromPath(installer.filename(), options.installerName)) {
      err << "zq_publish: --installer \"" << parsed.Value("--installer") << "\" is not a file\n";
      return kPublishBadArguments;
    }
    FileDigests digests;
    if (!DigestFile(installer, digests)) {
      err << "zq_publish: cannot read --installer \"" << parsed.Value("--installer") << "\"\n";
      return kPublishIoError;
    }
    options.installerSha256 = digests.sha256;
    options.installerSize = digests.size;
  }
  std::vector<std::string> warnings;
  std::vector<EarlierRelease> earlier;
  int result = LoadEarlierReleases(parsed.Values("--previous"), key, earlier, warnings, err);
  if (result != 0) return result;
  if (!earlier.empty()) {
    options.hasPrevious = true;
    options.previous = earlier.front().manifest;
  }

  std::vector<ReleaseItem> items;
  result = WalkRelease(releaseDir, items, problem);
  if (result != 0) {
    err << "zq_publish: refused: " << problem << '\n';
    return result;
  }
  ReleasePlan plan;
  if (!PlanRelease(items, options, plan, problem)) {
    err << "zq_publish: refused: " << problem << '\n';
    return kPublishRefused;
  }
  std::vector<PackageManifest> earlierManifests;
  for (const EarlierRelease& release : earlier) earlierManifests.push_back(release.manifest);
  // The files' URLs before their forms are made, which takes a while; the
  // forms' once they are.
  if (!KeepsEarlierUrls(plan.manifest, earlierManifests, problem)) {
    err << "zq_publish: refused: " << problem << '\n';
    return kPublishRefused;
  }
  warnings.insert(warnings.end(), plan.warnings.begin(), plan.warnings.end());
  for (const std::string& warning : warnings) err << "zq_publish: warning: " << warning << '\n';

  // Everything goes into a directory that becomes --out only when whole.
  PartialRelease partial;
  result = partial.Create(outPath, problem);
  FormReport forms;
  if (result == 0 && smallerForms) {
    FormSettings settings;
    if (parsed.Has("--zstd-level")) settings.level = std::stoi(parsed.Value("--zstd-level"));
    if (parsed.Has("--delta-releases")) {
      settings.deltaReleases = std::stoi(parsed.Value("--delta-releases"));
    }
    settings.baseUrl = options.baseUrl;
    result = MakeSmallerForms(releaseDir, earlier, settings, encoder, partial.path(), plan, forms, problem);
    for (const std::string& warning : forms.warnings) err << "zq_publish: warning: " << warning << '\n';
    if (result == 0 && !KeepsEarlierUrls(plan.manifest, earlierManifests, problem)) result = kPublishRefused;
  }
  if (result != 0) {
    err << "zq_publish: " << (result == kPublishRefused ? "refused: " : "") << problem << '\n';
    return result;
  }

  std::string signature;
  if (key.loaded()) {
    std::string issued;
    if (!IssueTime(std::time(nullptr), std::string(), issued)) {
      err << "zq_publish: the system clock does not give a time a manifest can name; nothing was published\n";
      return kPublishIoError;
    }
    plan.manifest.set_issued(issued);
  }
  const std::string manifestText = WriteManifestText(plan.manifest);
  if (key.loaded() && !SignManifest(manifestText, key, signature)) {
    err << "zq_publish: the signature made with --sign-key does not verify; nothing was published\n";
    return kPublishIoError;
  }
  result = FillRelease(releaseDir, plan, manifestText, signature, installer, partial.path(), problem);
  if (result == 0) result = partial.Commit(problem);
  if (result != 0) {
    err << "zq_publish: " << problem << '\n';
    return result;
  }
  PrintSummary(plan, forms.notes, parsed.Value("--out"), out);
  if (key.loaded()) out << "signed with key " << FormatPublicKey(key.PublicKey()) << '\n';
  if (smallerForms) out << FormTotals(forms) << '\n';
  return kPublishOk;
}
