#include <ctime>
#include <string>

#include "publisher/command_line.h"
#include "publisher/manifest_writer.h"
#include "publisher/operator_commands.h"
#include "publisher/publish_rules.h"
#include "publisher/publisher.h"
#include "publisher/release_keys.h"
#include "publisher/release_tree.h"
#include "update/manifest/package_manifest.h"

namespace {

constexpr char kUsage[] = "usage: zq_publish rollout --out DIR --percent PERCENT [--sign-key FILE]\n";

// Writes bytes beside target under a new name, then puts it in target's place
// in one rename, so the server never serves half a manifest.
bool ReplaceFile(const fs::path& target, const std::string& bytes) {
  fs::path next = target;
  next += ".next";
  std::error_code error;
  if (!WriteWholeFile(next, bytes)) {
    fs::remove(next, error);
    return false;
  }
  fs::rename(next, target, error);
  if (error) fs::remove(next, error);
  return !error;
}

}  // namespace

int RunRollout(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  OptionNames names;
  names.single = {"--out", "--percent", "--sign-key"};
  names.required = {"--out", "--percent"};
  CommandLine line;
  std::string problem;
  int percent = 0;
  if (!ParseCommandLine(arguments, names, line, problem)) {
    err << "zq_publish rollout: " << problem << '\n' << kUsage;
    return kPublishBadArguments;
  }
  if (!SmallNumber(line.Value("--percent"), 0, 100, percent)) {
    err << "zq_publish rollout: --percent must be a share in percent, from 0 to 100\n" << kUsage;
    return kPublishBadArguments;
  }
  const fs::path dir = PathFromUtf8(line.Value("--out"));
  const fs::path manifestPath = dir / "package.json";
  const fs::path signaturePath = dir / "package.json.sig";
  std::string text;
  if (!ReadWholeFile(manifestPath, text)) {
    err << "zq_publish rollout: cannot read \"" << line.Value("--out") << "/package.json\"\n";
    return kPublishIoError;
  }
  PackageManifest manifest;
  // Rewritten from the record, the manifest must come out as it went in:
  // otherwise it holds something this publisher would lose (a hand edit, a
  // key it does not know), and the release has to be published again.
  if (PackageManifestParser::Parse(text, manifest) != 0 || WriteManifestText(manifest) != text) {
    err << "zq_publish rollout: refused: package.json is not as zq_publish wrote it; publish the release "
           "again with --rollout instead\n";
    return kPublishRefused;
  }
  std::error_code error;
  const bool signedRelease = fs::exists(signaturePath, error);
  SigningKey key;
  if (line.Has("--sign-key") && !LoadSigningKey(PathFromUtf8(line.Value("--sign-key")), key, problem)) {
    err << "zq_publish rollout: --sign-key \"" << line.Value("--sign-key") << "\" " << problem << '\n';
    return kPublishBadArguments;
  }
  if (signedRelease != key.loaded()) {
    err << "zq_publish rollout: "
        << (signedRelease ? "the release is signed: give --sign-key with the key that signed it\n"
                          : "the release is not signed; a key would change more than its share\n");
    return kPublishBadArguments;
  }
  std::string oldSignature;
  if (signedRelease &&
      (!ReadWholeFile(signaturePath, oldSignature) || !VerifyReleaseSignature(text, oldSignature, key.PublicKey()))) {
    // Signed anew with another key, the release would be refused by every
    // client that trusts the one that signed it.
    err << "zq_publish rollout: refused: package.json.sig does not verify with this key\n";
    return kPublishRefused;
  }
  const int before = manifest.rollout();
  if (before == percent) {
    out << "version " << manifest.version() << " already goes to " << percent << "% of PCs; nothing changed\n";
    return kPublishOk;
  }
  manifest.set_rollout(percent);
  if (signedRelease) {
    // Later than the text it replaces, or a client that took that text would
    // refuse this one, and one that took this one could be served the old
    // text again: a halt undone by a replay.
    std::string issued;
    if (!IssueTime(std::time(nullptr), manifest.issued(), issued)) {
      err << "zq_publish rollout: refused: package.json's \"issued\" is not a time a later one can follow\n";
      return kPublishRefused;
    }
    manifest.set_issued(issued);
  }
  const std::string newText = WriteManifestText(manifest);
  std::string signature;
  if (key.loaded() && !SignManifest(newText, key, signature)) {
    err << "zq_publish rollout: the signature made with --sign-key does not verify; nothing was changed\n";
    return kPublishIoError;
  }
  // The manifest first: a client that reads it between the two renames
  // finds the signature of the other text and sees no update this time.
  if (!ReplaceFile(manifestPath, newText)) {
    err << "zq_publish rollout: cannot write package.json in \"" << line.Value("--out") << "\"; nothing was changed\n";
    return kPublishIoError;
  }
  if (key.loaded() && !ReplaceFile(signaturePath, signature)) {
    // The old manifest back beside its own signature, so the release stays valid.
    const bool restored = ReplaceFile(manifestPath, text);
    err << "zq_publish rollout: cannot write package.json.sig in \"" << line.Value("--out") << "\"; "
        << (restored ? "nothing was changed\n" : "package.json could not be put back either: publish again\n");
    return kPublishIoError;
  }
  out << "version " << manifest.version() << " now goes to " << percent << "% of PCs (was " << before << "%)"
      << (key.loaded() ? ", signed again" : "") << '\n';
  return kPublishOk;
}
