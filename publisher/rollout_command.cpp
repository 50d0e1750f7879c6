#include <ctime>
#include <string>

#include "publisher/command_requests.h"
#include "publisher/manifest_writer.h"
#include "publisher/operator_commands.h"
#include "publisher/publish_rules.h"
#include "publisher/publisher.h"
#include "publisher/release_keys.h"
#include "publisher/release_tree.h"
#include "update/manifest/package_manifest.h"

namespace {

constexpr char kUsage[] = "usage: zq_publish rollout --out DIR --percent PERCENT [--sign-key FILE]\n";

// The published release a rollout rewrites: its manifest as read, and the
// key it is signed with when it is signed.
struct PublishedRelease {
  fs::path manifestPath;
  fs::path signaturePath;
  std::string text;
  PackageManifest manifest;
  bool signedRelease = false;
  SigningKey key;
};

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

// The manifest of the release in --out. 0, or 4 or 3 with the message printed.
int ReadPublished(const RolloutRequest& request, PublishedRelease& release, std::ostream& err) {
  const fs::path dir = PathFromUtf8(request.out);
  release.manifestPath = dir / "package.json";
  release.signaturePath = dir / "package.json.sig";
  if (!ReadWholeFile(release.manifestPath, release.text)) {
    err << "zq_publish rollout: cannot read \"" << request.out << "/package.json\"\n";
    return kPublishIoError;
  }
  // Rewritten from the record, the manifest must come out as it went in:
  // otherwise it holds something this publisher would lose (a hand edit, a
  // key it does not know), and the release has to be published again.
  if (PackageManifestParser::Parse(release.text, release.manifest) != 0 ||
      WriteManifestText(release.manifest) != release.text) {
    err << "zq_publish rollout: refused: package.json is not as zq_publish wrote it; publish the release "
           "again with --rollout instead\n";
    return kPublishRefused;
  }
  return kPublishOk;
}

// A signed release is signed again with the key that signed it, an unsigned
// one is left unsigned. 0, or 2 or 3 with the message printed.
int LoadSigner(const RolloutRequest& request, PublishedRelease& release, std::ostream& err) {
  std::error_code error;
  release.signedRelease = fs::exists(release.signaturePath, error);
  std::string problem;
  if (request.signKey && !LoadSigningKey(PathFromUtf8(*request.signKey), release.key, problem)) {
    err << "zq_publish rollout: --sign-key \"" << *request.signKey << "\" " << problem << '\n';
    return kPublishBadArguments;
  }
  if (release.signedRelease != release.key.loaded()) {
    err << "zq_publish rollout: "
        << (release.signedRelease ? "the release is signed: give --sign-key with the key that signed it\n"
                                  : "the release is not signed; a key would change more than its share\n");
    return kPublishBadArguments;
  }
  std::string oldSignature;
  if (release.signedRelease && (!ReadWholeFile(release.signaturePath, oldSignature) ||
                                !VerifyReleaseSignature(release.text, oldSignature, release.key.PublicKey()))) {
    // Signed anew with another key, the release would be refused by every
    // client that trusts the one that signed it.
    err << "zq_publish rollout: refused: package.json.sig does not verify with this key\n";
    return kPublishRefused;
  }
  return kPublishOk;
}

// The manifest's new text with the share set, issued anew and signed when
// the release is signed. 0, or 3 or 4 with the message printed.
int RewriteManifest(int percent, PublishedRelease& release, std::string& newText, std::string& signature,
                    std::ostream& err) {
  release.manifest.set_rollout(percent);
  if (release.signedRelease) {
    // Later than the text it replaces, or a client that took that text would
    // refuse this one, and one that took this one could be served the old
    // text again: a halt undone by a replay.
    std::string issued;
    if (!IssueTime(std::time(nullptr), release.manifest.issued(), issued)) {
      err << "zq_publish rollout: refused: package.json's \"issued\" is not a time a later one can follow\n";
      return kPublishRefused;
    }
    release.manifest.set_issued(issued);
  }
  newText = WriteManifestText(release.manifest);
  if (release.key.loaded() && !SignManifest(newText, release.key, signature)) {
    err << "zq_publish rollout: the signature made with --sign-key does not verify; nothing was changed\n";
    return kPublishIoError;
  }
  return kPublishOk;
}

// The new manifest and signature in place of the old. 0, or 4 with the message printed.
int ReplacePublished(const RolloutRequest& request, const PublishedRelease& release, const std::string& newText,
                     const std::string& signature, std::ostream& err) {
  // The manifest first: a client that reads it between the two renames
  // finds the signature of the other text and sees no update this time.
  if (!ReplaceFile(release.manifestPath, newText)) {
    err << "zq_publish rollout: cannot write package.json in \"" << request.out << "\"; nothing was changed\n";
    return kPublishIoError;
  }
  if (release.key.loaded() && !ReplaceFile(release.signaturePath, signature)) {
    // The old manifest back beside its own signature, so the release stays valid.
    const bool restored = ReplaceFile(release.manifestPath, release.text);
    err << "zq_publish rollout: cannot write package.json.sig in \"" << request.out << "\"; "
        << (restored ? "nothing was changed\n" : "package.json could not be put back either: publish again\n");
    return kPublishIoError;
  }
  return kPublishOk;
}

int Rollout(const RolloutRequest& request, std::ostream& out, std::ostream& err) {
  PublishedRelease release;
  int result = ReadPublished(request, release, err);
  if (result == kPublishOk) result = LoadSigner(request, release, err);
  if (result != kPublishOk) return result;
  const int before = release.manifest.rollout();
  if (before == request.percent) {
    out << "version " << release.manifest.version() << " already goes to " << request.percent
        << "% of PCs; nothing changed\n";
    return kPublishOk;
  }
  std::string newText, signature;
  result = RewriteManifest(request.percent, release, newText, signature, err);
  if (result == kPublishOk) result = ReplacePublished(request, release, newText, signature, err);
  if (result != kPublishOk) return result;
  out << "version " << release.manifest.version() << " now goes to " << request.percent << "% of PCs (was " << before
      << "%)" << (release.key.loaded() ? ", signed again" : "") << '\n';
  return kPublishOk;
}

}  // namespace

int RunRollout(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  RolloutRequest request;
  std::string problem;
  if (!ParseRolloutRequest(arguments, request, problem)) {
    err << "zq_publish rollout: " << problem << '\n' << kUsage;
    return kPublishBadArguments;
  }
  return Rollout(request, out, err);
}
