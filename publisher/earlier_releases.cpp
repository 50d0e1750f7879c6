#include "publisher/earlier_releases.h"

#include <algorithm>

#include "publisher/exit_codes.h"
#include "publisher/release_tree.h"
#include "update/manifest/package_manifest.h"
#include "update/manifest/version_number.h"

namespace {

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

// The release whose package.json is at text, and that file's bytes.
int ReadEarlierRelease(const std::string& text, EarlierRelease& release, std::string& manifestText, std::ostream& err) {
  const fs::path path = PathFromUtf8(text);
  if (!ReadWholeFile(path, manifestText)) {
    err << "zq_publish: cannot read --previous \"" << text << "\"\n";
    return kPublishIoError;
  }
  if (PackageManifestParser::Parse(manifestText, release.manifest) != 0) {
    err << "zq_publish: --previous \"" << text << "\" is not a package manifest\n";
    return kPublishRefused;
  }
  release.directory = path.parent_path();
  return kPublishOk;
}

// The indexes of earlier, newest first; refused when two are one version.
int NewestFirst(const std::vector<std::string>& paths, const std::vector<EarlierRelease>& earlier,
                std::vector<size_t>& order, std::ostream& err) {
  order.resize(earlier.size());
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
  return kPublishOk;
}

}  // namespace

int LoadEarlierReleases(const std::vector<std::string>& paths, const SigningKey& key,
                        std::vector<EarlierRelease>& earlier, std::vector<std::string>& warnings, std::ostream& err) {
  std::vector<std::string> texts;
  for (const std::string& text : paths) {
    EarlierRelease release;
    std::string manifestText;
    const int result = ReadEarlierRelease(text, release, manifestText, err);
    if (result != kPublishOk) return result;
    earlier.push_back(release);
    texts.push_back(manifestText);
  }
  std::vector<size_t> order;
  const int result = NewestFirst(paths, earlier, order, err);
  if (result != kPublishOk) return result;
  std::vector<EarlierRelease> sorted;
  for (size_t i : order) sorted.push_back(earlier[i]);
  earlier.swap(sorted);
  if (!order.empty()) CheckPreviousSignature(texts[order[0]], PathFromUtf8(paths[order[0]]), key, warnings);
  return kPublishOk;
}
