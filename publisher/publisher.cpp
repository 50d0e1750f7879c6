#include "publisher/publisher.h"

#include <ctime>
#include <iomanip>
#include <map>

#include "publisher/command_requests.h"
#include "publisher/earlier_releases.h"
#include "publisher/manifest_writer.h"
#include "publisher/operator_commands.h"
#include "publisher/packages/code_signing.h"
#include "publisher/packages/installer_package.h"
#include "publisher/packages/package_inputs.h"
#include "publisher/publish_rules.h"
#include "publisher/published_urls.h"
#include "publisher/release_keys.h"
#include "publisher/release_plan.h"
#include "publisher/release_tree.h"
#include "publisher/smaller_forms.h"
#include "update/manifest/package_manifest.h"

namespace {

constexpr char kUsage[] =
    "usage: zq_publish --release-dir DIR --version N --date DATE --base-url URL --out DIR\n"
    "                  [--previous FILE]... [--reg PATTERN]... [--delete RELPATH]... [--installer FILE]\n"
    "                  [--sign-key FILE [--expires DAYS]]\n"
    "                  [--delta-releases K] [--zstd-level N] [--no-smaller-forms] [--rollout PERCENT]\n"
    "                  [--sign-cert FILE.p12 --sign-password-file FILE]\n"
    "       zq_publish sign --release-dir DIR --sign-cert FILE.p12 --sign-password-file FILE\n"
    "       zq_publish rollout --out DIR --percent PERCENT [--sign-key FILE]\n"
    "       zq_publish rollback --to PUBLISHED_DIR --version N --out DIR --previous FILE [--previous FILE]...\n"
    "                  [--base-url URL] [--date DATE] [the options of a release]\n"
    "       zq_publish package --published DIR --release-dir DIR --out DIR\n"
    "                  [--sign-cert FILE.p12 --sign-password-file FILE]\n"
    "       zq_publish keygen --out PREFIX\n"
    "       zq_publish report --log ACCESS_LOG [--log ACCESS_LOG]... [--release N]\n";

// What a publish gathers on its way from the request to the release.
struct PublishRun {
  fs::path releaseDir;
  fs::path outPath;  // --out made absolute, without a trailing separator
  SigningKey key;
  ReleaseOptions options;
  fs::path installer;                   // empty: not a full release
  PartialRelease madeInstaller;         // --make-installer: where it is built, removed at the end
  std::vector<ReleaseItem> items;       // what the release directory holds
  std::vector<EarlierRelease> earlier;  // newest first
  std::vector<PackageManifest> earlierManifests;
  std::vector<std::string> warnings;
  ReleasePlan plan;
  FormReport forms;
};

bool IsEmptyDirectoryOrMissing(const fs::path& path) {
  std::error_code error;
  if (!fs::exists(path, error)) return !error;
  return fs::is_directory(path, error) && fs::is_empty(path, error) && !error;
}

// --release-dir must be a directory; --out must not exist or be empty, and
// lie outside the release directory. 0, or 2 with the message printed.
int CheckPlaces(const PublishRequest& request, PublishRun& run, std::ostream& err) {
  run.releaseDir = PathFromUtf8(request.releaseDir);
  std::error_code error;
  if (!fs::is_directory(run.releaseDir, error)) {
    err << "zq_publish: --release-dir \"" << request.releaseDir << "\" is not a directory\n";
    return kPublishBadArguments;
  }
  const fs::path outDir = fs::absolute(PathFromUtf8(request.out), error).lexically_normal();
  run.outPath = outDir.filename().empty() ? outDir.parent_path() : outDir;
  if (!IsEmptyDirectoryOrMissing(run.outPath)) {
    err << "zq_publish: --out \"" << request.out
        << "\" exists and is not an empty directory; a published release is never overwritten\n";
    return kPublishBadArguments;
  }
  const fs::path canonicalRelease = fs::canonical(run.releaseDir, error);
  const fs::path outParent = fs::weakly_canonical(run.outPath, error);
  const fs::path inside = outParent.lexically_relative(canonicalRelease);
  if (!inside.empty() && *inside.begin() != "..") {
    err << "zq_publish: --out must not lie inside --release-dir (it would be published next time)\n";
    return kPublishBadArguments;
  }
  return kPublishOk;
}

// Before anything is read or written: a key that others can read is
// refused whatever else the release holds.
int LoadKey(const PublishRequest& request, SigningKey& key, std::ostream& err) {
  std::string problem;
  if (request.signKey && !LoadSigningKey(PathFromUtf8(*request.signKey), key, problem)) {
    err << "zq_publish: --sign-key \"" << *request.signKey << "\" " << problem << '\n';
    return kPublishBadArguments;
  }
  return kPublishOk;
}

// Before anything is read or written, as for the key: a certificate that is
// not a file, or a password file that others can read or the tools would
// read apart, is a bad argument.
int CheckCodeSigning(const PublishRequest& request, std::ostream& err) {
  std::string problem;
  if (request.codeSigning && !CheckSigningCertificate(*request.codeSigning, problem)) {
    err << "zq_publish: " << problem << '\n';
    return kPublishBadArguments;
  }
  return kPublishOk;
}

// With a code-signing certificate, the program a PC runs, and the installer
// of a full release given with --installer, must carry its valid signature:
// a release that would put an unsigned program on the PCs is refused before
// anything is written. 0, or 3 with the refusal printed.
int ProveProgramSigned(const PublishRequest& request, const PublishRun& run, std::ostream& err) {
  if (!request.codeSigning) return kPublishOk;
  std::string problem;
  std::error_code error;
  if (!fs::is_regular_file(run.releaseDir / kSignedProgramName, error)) {
    problem = std::string("the release holds no ") + kSignedProgramName + " to prove signed";
  } else if (!VerifySignature(*request.codeSigning, run.releaseDir / kSignedProgramName, problem)) {
    problem = std::string("cannot prove ") + kSignedProgramName + " signed by --sign-cert: " + problem;
  }
  // An installer given ready-made runs on every PC of a full release too.
  if (problem.empty() && !run.installer.empty() && !request.makeInstaller &&
      !VerifySignature(*request.codeSigning, run.installer, problem)) {
    problem = "cannot prove --installer signed by --sign-cert: " + problem;
  }
  if (problem.empty()) return kPublishOk;
  err << "zq_publish: refused: " << problem << '\n';
  return kPublishRefused;
}

// The installer's digests set in the options; false when it cannot be read.
bool DigestInstaller(PublishRun& run) {
  FileDigests digests;
  if (!DigestFile(run.installer, digests)) return false;
  run.options.installerSha256 = digests.sha256;
  run.options.installerSize = digests.size;
  return true;
}

// The installer of a full release, its name and digests set in the options.
int ReadInstaller(const std::string& text, PublishRun& run, std::ostream& err) {
  run.installer = PathFromUtf8(text);
  std::error_code error;
  if (!fs::is_regular_file(run.installer, error) ||
      !Utf8FromPath(run.installer.filename(), run.options.installerName)) {
    err << "zq_publish: --installer \"" << text << "\" is not a file\n";
    return kPublishBadArguments;
  }
  if (!DigestInstaller(run)) {
    err << "zq_publish: cannot read --installer \"" << text << "\"\n";
    return kPublishIoError;
  }
  return kPublishOk;
}

// The options the plan is made from. 0, or 2 or 4 with the message printed.
int ReadOptions(const PublishRequest& request, PublishRun& run, std::ostream& err) {
  ReleaseOptions& options = run.options;
  if (request.expires) {
    // Only a client with a key reads the expiry, and only a signature keeps
    // anyone from removing it: on an unsigned release it would promise nothing.
    if (!request.signKey) {
      err << "zq_publish: --expires needs --sign-key\n";
      return kPublishBadArguments;
    }
    if (!ExpiryFromDays(*request.expires, std::time(nullptr), options.expires)) {
      err << "zq_publish: --expires \"" << *request.expires << "\" is not a number of days from 1 to 3650\n";
      return kPublishBadArguments;
    }
  }
  options.version = request.version;
  options.date = request.date;
  options.baseUrl = TrimTrailingSlashes(request.baseUrl);
  options.regPatterns = request.regPatterns;
  options.deletePaths = request.deletePaths;
  options.rollout = request.rollout;
  return request.installer ? ReadInstaller(*request.installer, run, err) : kPublishOk;
}

// The --previous releases, the newest of them the one the options continue.
int LoadPrevious(const PublishRequest& request, PublishRun& run, std::ostream& err) {
  const int result = LoadEarlierReleases(request.previous, run.key, run.earlier, run.warnings, err);
  if (result != kPublishOk) return result;
  if (!run.earlier.empty()) {
    run.options.hasPrevious = true;
    run.options.previous = run.earlier.front().manifest;
  }
  for (const EarlierRelease& release : run.earlier) run.earlierManifests.push_back(release.manifest);
  return kPublishOk;
}

// The plan of the release directory, then every warning so far printed. 0,
// or the walk's code or 3 with the refusal printed.
int PlanFromTree(PublishRun& run, std::ostream& err) {
  std::string problem;
  std::vector<ReleaseItem>& items = run.items;
  const int walked = WalkRelease(run.releaseDir, items, problem);
  if (walked != kPublishOk) {
    err << "zq_publish: refused: " << problem << '\n';
    return walked;
  }
  // The files' URLs before their forms are made, which takes a while; the
  // forms' once they are.
  if (!PlanRelease(items, run.options, run.plan, problem) ||
      !KeepsEarlierUrls(run.plan.manifest, run.earlierManifests, problem)) {
    err << "zq_publish: refused: " << problem << '\n';
    return kPublishRefused;
  }
  run.warnings.insert(run.warnings.end(), run.plan.warnings.begin(), run.plan.warnings.end());
  for (const std::string& warning : run.warnings) err << "zq_publish: warning: " << warning << '\n';
  return kPublishOk;
}

// --make-installer: the installer of the release as planned so far, whose
// manifest (no installer keys yet) it installs as package.json, built beside
// --out; then the plan made again, as --installer with that file makes it.
// 0, or 3 or 4 with the message printed.
int MakeInstaller(const PublishRequest& request, PublishRun& run, std::ostream& err) {
  PackageInputs inputs;
  std::string problem;
  if (!ReadPackageInputs(run.releaseDir, WriteManifestText(run.plan.manifest), inputs, problem)) {
    err << "zq_publish: refused: no installer can be made: " << problem << '\n';
    return kPublishRefused;
  }
  fs::path beside = run.outPath;
  beside += ".installer";
  int result = run.madeInstaller.Create(beside, problem);
  run.options.installerName = InstallerPackageName(inputs);
  run.installer = run.madeInstaller.path() / run.options.installerName;
  if (result == kPublishOk && !BuildInstallerPackage(inputs, run.installer, problem)) {
    problem = "cannot make the installer: " + problem;
    result = kPublishIoError;
  } else if (result == kPublishOk && request.codeSigning &&
             (result = SignInPlace(*request.codeSigning, run.installer, problem)) != kPublishOk) {
    problem = "the installer: " + problem;
  } else if (result == kPublishOk && !DigestInstaller(run)) {
    problem = "cannot read the installer just made";
    result = kPublishIoError;
  } else if (result == kPublishOk && !PlanRelease(run.items, run.options, run.plan, problem)) {
    problem = "refused: " + problem;
    result = kPublishRefused;
  }
  if (result != kPublishOk) err << "zq_publish: " << problem << '\n';
  return result;
}

// The smaller forms made into partial, their warnings printed. 0, or 3 or 4 with problem set.
int MakeForms(const PublishRequest& request, PublishRun& run, const FormEncoder& encoder, const fs::path& partial,
              std::string& problem, std::ostream& err) {
  FormSettings settings;
  if (request.zstdLevel) settings.level = *request.zstdLevel;
  if (request.deltaReleases) settings.deltaReleases = *request.deltaReleases;
  settings.baseUrl = run.options.baseUrl;
  int result = MakeSmallerForms(run.releaseDir, run.earlier, settings, encoder, partial, run.plan, run.forms, problem);
  for (const std::string& warning : run.forms.warnings) err << "zq_publish: warning: " << warning << '\n';
  if (result == kPublishOk && !KeepsEarlierUrls(run.plan.manifest, run.earlierManifests, problem)) {
    result = kPublishRefused;
  }
  return result;
}

// The manifest (issued and signed when there is a key) and the files written
// into partial, which then becomes --out. 0, or 4 with the message printed.
int WriteSignedRelease(PublishRun& run, PartialRelease& partial, std::ostream& err) {
  if (run.key.loaded()) {
    std::string issued;
    if (!IssueTime(std::time(nullptr), std::string(), issued)) {
      err << "zq_publish: the system clock does not give a time a manifest can name; nothing was published\n";
      return kPublishIoError;
    }
    run.plan.manifest.set_issued(issued);
  }
  const std::string manifestText = WriteManifestText(run.plan.manifest);
  std::string signature;
  if (run.key.loaded() && !SignManifest(manifestText, run.key, signature)) {
    err << "zq_publish: the signature made with --sign-key does not verify; nothing was published\n";
    return kPublishIoError;
  }
  std::string problem;
  int result = FillRelease(run.releaseDir, run.plan, manifestText, signature, run.installer, partial.path(), problem);
  if (result == kPublishOk) result = partial.Commit(problem);
  if (result != kPublishOk) err << "zq_publish: " << problem << '\n';
  return result;
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

// Carries out a publish request: checks, plans, then writes the release
// through a directory that becomes --out only when whole.
int Publish(const PublishRequest& request, std::ostream& out, std::ostream& err, const FormEncoder& encoder) {
  PublishRun run;
  int result = CheckPlaces(request, run, err);
  if (result == kPublishOk) result = LoadKey(request, run.key, err);
  if (result == kPublishOk) result = CheckCodeSigning(request, err);
  if (result == kPublishOk) result = ReadOptions(request, run, err);
  if (result == kPublishOk) result = LoadPrevious(request, run, err);
  if (result == kPublishOk) result = PlanFromTree(run, err);
  if (result == kPublishOk) result = ProveProgramSigned(request, run, err);
  if (result == kPublishOk && request.makeInstaller) result = MakeInstaller(request, run, err);
  if (result != kPublishOk) return result;

  PartialRelease partial;
  std::string problem;
  result = partial.Create(run.outPath, problem);
  if (result == kPublishOk && request.smallerForms) {
    result = MakeForms(request, run, encoder, partial.path(), problem, err);
  }
  if (result != kPublishOk) {
    err << "zq_publish: " << (result == kPublishRefused ? "refused: " : "") << problem << '\n';
    return result;
  }
  result = WriteSignedRelease(run, partial, err);
  if (result != kPublishOk) return result;
  PrintSummary(run.plan, run.forms.notes, request.out, out);
  if (run.key.loaded()) out << "signed with key " << FormatPublicKey(run.key.PublicKey()) << '\n';
  if (request.codeSigning) out << kSignedProgramName << " carries the signature of --sign-cert\n";
  if (request.smallerForms) out << FormTotals(run.forms) << '\n';
  return kPublishOk;
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
  if (command == "sign") return RunSign(rest, out, err);
  if (command == "package") return RunPackage(rest, out, err);
  if (command == "report") return RunReport(rest, out, err);
  PublishRequest request;
  std::string problem;
  if (!ParsePublishRequest(arguments, request, problem)) {
    err << "zq_publish: " << problem << '\n' << kUsage;
    return kPublishBadArguments;
  }
  return Publish(request, out, err, encoder);
}
