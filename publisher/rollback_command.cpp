#include <ctime>
#include <string>
#include <vector>

#include "publisher/command_line.h"
#include "publisher/operator_commands.h"
#include "publisher/publish_rules.h"
#include "publisher/publisher.h"
#include "publisher/release_keys.h"
#include "publisher/release_plan.h"
#include "publisher/release_tree.h"
#include "update/manifest/package_manifest.h"
#include "update/manifest/version_number.h"
#include "update/update_check.h"

namespace {

constexpr char kUsage[] =
    "usage: zq_publish rollback --to PUBLISHED_DIR --version N --out DIR --previous FILE [--previous FILE]...\n"
    "                  [--base-url URL] [--date DATE] [--sign-key FILE [--expires DAYS]] [--rollout PERCENT]\n"
    "                  [--delta-releases K] [--zstd-level N] [--no-smaller-forms]\n";

// The options that go on to the release as they were given.
const char* const kPassedOn[] = {"--sign-key", "--expires", "--zstd-level", "--delta-releases", "--rollout"};

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

// The earlier release's files, as its release directory held them, built in
// tree from its published copies, each proved against its manifest entry
// first; and the options that give its entries their acts and its installer.
// Unsigned, the files are linked where the file system allows, copied where
// not. Signed, every file and the installer must be proved by the SHA-256 its
// (signed) manifest names, and are copied, the installer into installerDir.
int RebuildRelease(const fs::path& published, const PackageManifest& earlier, const fs::path& tree, bool signing,
                   const fs::path& installerDir, std::vector<std::string>& options, std::string& problem) {
  std::error_code error;
  for (const PackageFileEntry& entry : earlier.file_list()) {
    std::string path;
    if (!EntryInstallPath(entry, path, problem)) return kPublishRefused;
    if (entry.act() == "delete") {
      options.insert(options.end(), {"--delete", path});
      continue;
    }
    const fs::path target = tree / PathFromUtf8(path);
    if (fs::exists(target, error)) continue;  // a second entry of a path: the client reads the first
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
  }
  if (!earlier.full_update()) return kPublishOk;
  if (signing && earlier.install_package_sha256().empty()) {
    problem = "the installer of the release in --to has no SHA-256 in its manifest; a signed rollback takes only an "
              "installer that one proves";
    return kPublishRefused;
  }
  // The installer lies under installer/ by the name its URL ends in.
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

}  // namespace

int RunRollback(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                const FormEncoder& encoder) {
  OptionNames names;
  names.single = {"--to", "--version", "--out", "--base-url", "--date"};
  names.single.insert(names.single.end(), std::begin(kPassedOn), std::end(kPassedOn));
  names.repeated = {"--previous"};
  names.flags = {"--no-smaller-forms"};
  names.required = {"--to", "--version", "--out"};
  CommandLine line;
  std::string problem;
  const bool parsed = ParseCommandLine(arguments, names, line, problem);
  if (parsed && line.Values("--previous").empty()) problem = "--previous (the current release) is required";
  if (!parsed || line.Values("--previous").empty()) {
    err << "zq_publish rollback: " << problem << '\n' << kUsage;
    return kPublishBadArguments;
  }
  const fs::path published = PathFromUtf8(line.Value("--to"));
  std::string text;
  PackageManifest earlier;
  if (!ReadWholeFile(published / "package.json", text) || PackageManifestParser::Parse(text, earlier) != 0) {
    err << "zq_publish rollback: --to \"" << line.Value("--to") << "\" holds no readable package.json\n";
    return kPublishBadArguments;
  }
  const bool signing = line.Has("--sign-key");
  if (signing) {
    SigningKey key;
    if (!LoadSigningKey(PathFromUtf8(line.Value("--sign-key")), key, problem)) {
      err << "zq_publish rollback: --sign-key \"" << line.Value("--sign-key") << "\" " << problem << '\n';
      return kPublishBadArguments;
    }
    const int checked = CheckEarlierSignature(published, text, key, problem);
    if (checked != kPublishOk) {
      err << "zq_publish rollback: " << (checked == kPublishRefused ? "refused: " : "") << problem << '\n';
      return checked;
    }
  }

  // The current release is the newest --previous that reads; the publisher
  // names what is wrong with one that does not.
  PackageManifest current;
  bool earlierListed = false;
  for (const std::string& previous : line.Values("--previous")) {
    PackageManifest manifest;
    std::string previousText;
    if (!ReadWholeFile(PathFromUtf8(previous), previousText) ||
        PackageManifestParser::Parse(previousText, manifest) != 0) {
      continue;
    }
    earlierListed = earlierListed || VersionNumber(manifest.version()) == VersionNumber(earlier.version());
    if (VersionNumber(manifest.version()) > VersionNumber(current.version())) current = manifest;
  }
  // The rollback is served where the current release is.
  std::string base = line.Value("--base-url");
  if (base.empty()) base = BaseUrlOf(current);
  if (base.empty()) base = BaseUrlOf(earlier);
  if (base.empty()) {
    err << "zq_publish rollback: cannot tell the base URL from the releases; give --base-url\n";
    return kPublishBadArguments;
  }

  // Built beside --out (not in it: "out/" names the same place), so that
  // linking usually works; removed when done.
  std::error_code error;
  fs::path beside = fs::absolute(PathFromUtf8(line.Value("--out")), error).lexically_normal();
  if (beside.filename().empty()) beside = beside.parent_path();
  beside += ".rollback";
  PartialRelease tree, installerDir;
  int result = tree.Create(beside, problem);
  // The installer of a full release cannot lie in the tree, which is all published as files.
  if (result == kPublishOk && signing && earlier.full_update()) {
    fs::path installerBeside = beside;
    installerBeside += "-installer";
    result = installerDir.Create(installerBeside, problem);
  }
  std::vector<std::string> release;
  if (result == kPublishOk) {
    result = RebuildRelease(published, earlier, tree.path(), signing, installerDir.path(), release, problem);
  }
  if (result != kPublishOk) {
    err << "zq_publish rollback: " << (result == kPublishRefused ? "refused: " : "") << problem << '\n';
    return result;
  }
  std::string treeText;
  Utf8FromPath(tree.path(), treeText);
  std::vector<std::string> publish = {"--release-dir", treeText,
                                      "--version",     line.Value("--version"),
                                      "--date",        line.Has("--date") ? line.Value("--date") : TodayUtc(),
                                      "--base-url",    base,
                                      "--out",         line.Value("--out")};
  for (const std::string& previous : line.Values("--previous")) publish.insert(publish.end(), {"--previous", previous});
  // The earlier release lends its files as bases of deltas too: PCs that
  // never took the bad release (outside its share, say) hold them already,
  // and fetch a few bytes for each instead of the whole file again.
  if (!earlierListed && VersionNumber(earlier.version()) < VersionNumber(current.version())) {
    std::string manifestText;
    Utf8FromPath(published / "package.json", manifestText);
    publish.insert(publish.end(), {"--previous", manifestText});
  }
  for (const char* option : kPassedOn) {
    if (line.Has(option)) publish.insert(publish.end(), {option, line.Value(option)});
  }
  if (line.flags.count("--no-smaller-forms") != 0) publish.push_back("--no-smaller-forms");
  publish.insert(publish.end(), release.begin(), release.end());
  out << "rolling back to the files of version " << earlier.version() << " in " << line.Value("--to") << '\n';
  return RunPublisher(publish, out, err, encoder);
}
