#include <ctime>
#include <string>
#include <vector>

#include "publisher/command_requests.h"
#include "publisher/operator_commands.h"
#include "publisher/publish_rules.h"
#include "publisher/publisher.h"
#include "publisher/release_keys.h"
#include "publisher/release_drafts.h"
#include "publisher/release_plan.h"
#include "publisher/release_tree.h"
#include "update/manifest/package_manifest.h"
#include "update/manifest/version_number.h"
#include "update/update_check.h"

namespace {

constexpr char kUsage[] =
    "usage: zq_publish rollback --to PUBLISHED_DIR --version N --out DIR --previous FILE [--previous FILE]...\n"
    "                  [--base-url URL] [--date DATE] [--sign-key FILE [--expires DAYS]] [--rollout PERCENT]\n"
    "                  [--delta-releases K] [--zstd-level N] [--no-smaller-forms]\n"
    "                  [--sign-cert FILE.p12 --sign-password-file FILE]\n";

// The release rolled back to, as --to holds it.
struct RollbackSource {
  fs::path published;
  std::string manifestText;
  PackageManifest earlier;
  PackageManifest current;     // the newest --previous that reads
  bool earlierListed = false;  // a --previous is the release rolled back to
};

// The earlier release's files, rebuilt beside --out, and the options of the
// release that publishes them. Both directories go when it does.
struct RebuiltRelease {
  PartialRelease tree;
  PartialRelease installerDir;       // a signed full release's proved installer
  std::vector<std::string> options;  // --delete, --reg, --installer
};

int Fail(std::ostream& err, int result, const std::string& problem) {
  err << "zq_publish rollback: " << (result == kPublishRefused ? "refused: " : "") << problem << '\n';
  return result;
}

// What the publisher put before "/files/<ver>/<path>" in an entry's URL.
std::string BaseUrlOf(const PackageManifest& manifest) {
  for (const PackageFileEntry& entry : manifest.file_list()) {
    std::string path, problem;
    if (!EntryInstallPath(entry, path, problem)) continue;
    const std::string tail = "/files/" + entry.ver() + "/" + PercentEncode(path, true);
    const std::string url = entry.remote_url();
    if (url.size() > tail.size() && EndsWith(url, tail)) return url.substr(0, url.size() - tail.size());
  }
  return std::string();
}

std::string TodayUtc() {
  const std::time_t now = std::time(nullptr);
  char text[16] = {};
  std::strftime(text, sizeof text, "%Y%m%d", std::gmtime(&now));
  return text;
}

bool SameBytesAsEntry(const fs::path& file, const std::string& md5, const std::string& sha256) {
  FileDigests digests;
  return DigestFile(file, digests) && digests.md5 == md5 && (sha256.empty() || digests.sha256 == sha256);
}

// A proved copy of source at target, for a signed rollback: a link would
// share its bytes with the published file, which could still change between
// the proof and the publishing.
int CopyProved(const fs::path& source, const fs::path& target, const std::string& md5, const std::string& sha256,
               const std::string& shown, std::string& problem) {
  std::error_code error;
  fs::copy_file(source, target, error);
  if (error) {
    problem = "cannot copy " + shown + " from --to: " + error.message();
    return kPublishIoError;
  }
  if (!SameBytesAsEntry(target, md5, sha256)) {
    problem = shown + " in --to changed while it was read";
    return kPublishRefused;
  }
  return kPublishOk;
}

// One entry of the earlier release rebuilt in tree from its published copy,
// proved against the entry first; a "delete" or "reg" entry adds its option.
int RebuildEntry(const fs::path& published, const PackageFileEntry& entry, const fs::path& tree, bool signing,
                 std::vector<std::string>& options, std::string& problem) {
  std::string path;
  if (!EntryInstallPath(entry, path, problem)) return kPublishRefused;
  if (entry.act() == "delete") {
    options.insert(options.end(), {"--delete", path});
    return kPublishOk;
  }
  std::error_code error;
  const fs::path target = tree / PathFromUtf8(path);
  if (fs::exists(target, error)) return kPublishOk;  // a second entry of a path: the client reads the first
  if (!EntryHasAFile(entry) || !IsVerText(entry.ver()) || (!entry.act().empty() && entry.act() != "reg")) {
    problem = "\"" + path + "\" is not an entry zq_publish writes; it cannot be published again";
    return kPublishRefused;
  }
  const std::string served = "files/" + entry.ver() + "/" + path;
  if (signing && entry.sha256().empty()) {
    problem = served + " in --to is proved by its MD5 alone; a signed rollback takes only files its SHA-256 proves";
    return kPublishRefused;
  }
  const fs::path source = published / "files" / entry.ver() / PathFromUtf8(path);
  if (!SameBytesAsEntry(source, entry.hash(), entry.sha256())) {
    problem = served + " in --to is missing or differs from its manifest entry";
    return kPublishRefused;
  }
  fs::create_directories(target.parent_path(), error);
  if (signing) {
    const int copied = CopyProved(source, target, entry.hash(), entry.sha256(), served, problem);
    if (copied != kPublishOk) return copied;
  } else {
    fs::create_hard_link(source, target, error);
    if (error) fs::copy_file(source, target, error);
    if (error) {
      problem = "cannot copy \"" + path + "\" from --to: " + error.message();
      return kPublishIoError;
    }
  }
  if (entry.act() == "reg") options.insert(options.end(), {"--reg", path});
  return kPublishOk;
}

// The installer of a full earlier release, which lies under installer/ by
// the name its URL ends in, proved and (signing) copied into installerDir;
// adds its --installer option.
int RebuildInstaller(const fs::path& published, const PackageManifest& earlier, bool signing,
                     const fs::path& installerDir, std::vector<std::string>& options, std::string& problem) {
  if (signing && earlier.install_package_sha256().empty()) {
    problem = "the installer of the release in --to has no SHA-256 in its manifest; a signed rollback takes only an "
              "installer that one proves";
    return kPublishRefused;
  }
  std::error_code error;
  for (const fs::directory_entry& item : fs::directory_iterator(published / "installer", error)) {
    std::string name;
    if (!Utf8FromPath(item.path().filename(), name) ||
        !EndsWith(earlier.install_package_url(), "/installer/" + PercentEncode(name, false))) {
      continue;
    }
    FileDigests digests;
    if (!DigestFile(item.path(), digests) ||
        (!earlier.install_package_sha256().empty() && digests.sha256 != earlier.install_package_sha256())) {
      problem = "installer/" + name + " in --to differs from its manifest";
      return kPublishRefused;
    }
    fs::path installer = item.path();
    if (signing) {
      installer = installerDir / item.path().filename();
      const int copied = CopyProved(item.path(), installer, digests.md5, earlier.install_package_sha256(),
                                    "installer/" + name, problem);
      if (copied != kPublishOk) return copied;
    }
    std::string installerText;
    Utf8FromPath(installer, installerText);
    options.insert(options.end(), {"--installer", installerText});
    return kPublishOk;
  }
  problem = "the release in --to is a full one, and its installer is not under installer/";
  return kPublishRefused;
}

// The earlier release's files, as its release directory held them, built in
// tree from its published copies, each proved against its manifest entry
// first; and the options that give its entries their acts and its installer.
// Unsigned, the files are linked where the file system allows, copied where
// not. Signed, every file and the installer must be proved by the SHA-256 its
// (signed) manifest names, and are copied, the installer into installerDir.
int RebuildRelease(const fs::path& published, const PackageManifest& earlier, const fs::path& tree, bool signing,
                   const fs::path& installerDir, std::vector<std::string>& options, std::string& problem) {
  for (const PackageFileEntry& entry : earlier.file_list()) {
    const int result = RebuildEntry(published, entry, tree, signing, options, problem);
    if (result != kPublishOk) return result;
  }
  if (!earlier.full_update()) return kPublishOk;
  return RebuildInstaller(published, earlier, signing, installerDir, options, problem);
}

// A signed rollback signs what --to holds: only what the same key signed
// before. Someone who can write to the published tree could otherwise change
// a file and its manifest entry together and have the rollback sign both.
int CheckEarlierSignature(const fs::path& published, const std::string& manifestText, const SigningKey& key,
                          std::string& problem) {
  std::string signature;
  std::error_code error;
  if (!fs::exists(published / "package.json.sig", error)) {
    problem = "the release in --to is not signed (no package.json.sig); a signed rollback takes only a release "
              "this key signed";
    return kPublishRefused;
  }
  if (!ReadWholeFile(published / "package.json.sig", signature)) {
    problem = "cannot read package.json.sig in --to";
    return kPublishIoError;
  }
  if (!VerifyReleaseSignature(manifestText, signature, key.PublicKey())) {
    problem = "package.json.sig in --to does not verify over its package.json with --sign-key's public key";
    return kPublishRefused;
  }
  return kPublishOk;
}

// The release in --to, its signature checked against --sign-key when one is
// given. 0, or 2, 3 or 4 with the message printed.
int ReadSource(const RollbackRequest& request, RollbackSource& source, std::ostream& err) {
  source.published = PathFromUtf8(request.to);
  if (!ReadWholeFile(source.published / "package.json", source.manifestText) ||
      PackageManifestParser::Parse(source.manifestText, source.earlier) != 0) {
    err << "zq_publish rollback: --to \"" << request.to << "\" holds no readable package.json\n";
    return kPublishBadArguments;
  }
  if (!request.signKey) return kPublishOk;
  SigningKey key;
  std::string problem;
  if (!LoadSigningKey(PathFromUtf8(*request.signKey), key, problem)) {
    err << "zq_publish rollback: --sign-key \"" << *request.signKey << "\" " << problem << '\n';
    return kPublishBadArguments;
  }
  const int checked = CheckEarlierSignature(source.published, source.manifestText, key, problem);
  return checked == kPublishOk ? kPublishOk : Fail(err, checked, problem);
}

// The current release is the newest --previous that reads; the publisher
// names what is wrong with one that does not.
void FindCurrent(const std::vector<std::string>& previous, RollbackSource& source) {
  for (const std::string& text : previous) {
    PackageManifest manifest;
    std::string manifestText;
    if (!ReadWholeFile(PathFromUtf8(text), manifestText) || PackageManifestParser::Parse(manifestText, manifest) != 0) {
      continue;
    }
    source.earlierListed =
        source.earlierListed || VersionNumber(manifest.version()) == VersionNumber(source.earlier.version());
    if (VersionNumber(manifest.version()) > VersionNumber(source.current.version())) source.current = manifest;
  }
}

// The earlier release rebuilt beside --out (not in it: "out/" names the same
// place), so that linking usually works. 0, or 3 or 4 with the message printed.
int Rebuild(const RollbackRequest& request, const RollbackSource& source, RebuiltRelease& rebuilt, std::ostream& err) {
  const bool signing = request.signKey.has_value();
  std::error_code error;
  fs::path beside = fs::absolute(PathFromUtf8(request.out), error).lexically_normal();
  if (beside.filename().empty()) beside = beside.parent_path();
  beside += ".rollback";
  std::string problem;
  int result = rebuilt.tree.Create(beside, problem);
  // The installer of a full release cannot lie in the tree, which is all published as files.
  if (result == kPublishOk && signing && source.earlier.full_update()) {
    fs::path installerBeside = beside;
    installerBeside += "-installer";
    result = rebuilt.installerDir.Create(installerBeside, problem);
  }
  if (result == kPublishOk) {
    result = RebuildRelease(source.published, source.earlier, rebuilt.tree.path(), signing, rebuilt.installerDir.path(),
                            rebuilt.options, problem);
  }
  return result == kPublishOk ? kPublishOk : Fail(err, result, problem);
}

// The command line of the release that publishes the rebuilt tree.
std::vector<std::string> PublishArguments(const RollbackRequest& request, const RollbackSource& source,
                                          const RebuiltRelease& rebuilt, const std::string& base) {
  std::string treeText;
  Utf8FromPath(rebuilt.tree.path(), treeText);
  std::vector<std::string> publish = {
      "--release-dir", treeText, "--version", request.version, "--date", request.date ? *request.date : TodayUtc(),
      "--base-url",    base,     "--out",     request.out};
  for (const std::string& previous : request.previous) publish.insert(publish.end(), {"--previous", previous});
  // The earlier release lends its files as bases of deltas too: PCs that
  // never took the bad release (outside its share, say) hold them already,
  // and fetch a few bytes for each instead of the whole file again.
  if (!source.earlierListed && VersionNumber(source.earlier.version()) < VersionNumber(source.current.version())) {
    std::string manifestText;
    Utf8FromPath(source.published / "package.json", manifestText);
    publish.insert(publish.end(), {"--previous", manifestText});
  }
  for (const auto& option : request.passedOn) publish.insert(publish.end(), {option.first, option.second});
  if (!request.smallerForms) publish.push_back("--no-smaller-forms");
  publish.insert(publish.end(), rebuilt.options.begin(), rebuilt.options.end());
  return publish;
}

int Rollback(const RollbackRequest& request, std::ostream& out, std::ostream& err, const FormEncoder& encoder) {
  RollbackSource source;
  const int read = ReadSource(request, source, err);
  if (read != kPublishOk) return read;
  FindCurrent(request.previous, source);
  // The rollback is served where the current release is.
  std::string base = request.baseUrl;
  if (base.empty()) base = BaseUrlOf(source.current);
  if (base.empty()) base = BaseUrlOf(source.earlier);
  if (base.empty()) {
    err << "zq_publish rollback: cannot tell the base URL from the releases; give --base-url\n";
    return kPublishBadArguments;
  }
  RebuiltRelease rebuilt;
  const int built = Rebuild(request, source, rebuilt, err);
  if (built != kPublishOk) return built;
  out << "rolling back to the files of version " << source.earlier.version() << " in " << request.to << '\n';
  // The rebuilt tree is published as any release directory is.
  return RunPublisher(PublishArguments(request, source, rebuilt, base), out, err, encoder);
}

}  // namespace

int RunRollback(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                const FormEncoder& encoder) {
  RollbackRequest request;
  std::string problem;
  if (!ParseRollbackRequest(arguments, request, problem)) {
    err << "zq_publish rollback: " << problem << '\n' << kUsage;
    return kPublishBadArguments;
  }
  return Rollback(request, out, err, encoder);
}
