#include "publisher/published_urls.h"

#include <map>

#include "publisher/publish_rules.h"
#include "publisher/release_drafts.h"
#include "publisher/release_plan.h"

namespace {

// What one release named under one URL. A digest it does not name is empty.
struct Named {
  std::string md5;
  std::string sha256;
  std::string version;
};

using NamedByUrl = std::map<std::string, std::vector<Named>>;

void Add(NamedByUrl& named, const std::string& url, const std::string& md5, const std::string& sha256,
         const std::string& version) {
  if (!url.empty()) named[url].push_back({md5, sha256, version});
}

// Hex digests compared whatever the letter case: a hand-made manifest may
// write them in lower case, and that is still the same content.
bool Differ(const std::string& a, const std::string& b) {
  return !a.empty() && !b.empty() && FoldAsciiCase(a) != FoldAsciiCase(b);
}

// The earlier release that named other bytes under url, or nullptr.
const Named* OtherBytesUnder(const NamedByUrl& named, const std::string& url, const std::string& md5,
                             const std::string& sha256) {
  const auto found = named.find(url);
  if (found == named.end()) return nullptr;
  for (const Named& before : found->second) {
    if (Differ(before.md5, md5) || Differ(before.sha256, sha256)) return &before;
  }
  return nullptr;
}

}  // namespace

bool KeepsEarlierUrls(const PackageManifest& release, const std::vector<PackageManifest>& earlier,
                      std::string& refusal) {
  NamedByUrl named;
  for (const PackageManifest& manifest : earlier) {
    for (const PackageFileEntry& entry : manifest.file_list()) {
      Add(named, entry.remote_url(), entry.hash(), entry.sha256(), manifest.version());
      Add(named, entry.compressed().url, std::string(), entry.compressed().sha256, manifest.version());
      for (const std::vector<FileDelta>* deltas : entry.delta_lists()) {
        for (const FileDelta& delta : *deltas) Add(named, delta.url, std::string(), delta.sha256, manifest.version());
      }
    }
  }
  for (const PackageFileEntry& entry : release.file_list()) {
    struct Served {
      std::string what, url, md5, sha256;
    };
    std::vector<Served> served = {{"the file", entry.remote_url(), entry.hash(), entry.sha256()},
                                  {"its compressed copy", entry.compressed().url, "", entry.compressed().sha256}};
    for (const FileDelta& delta : entry.deltas()) {
      served.push_back({"its delta from MD5 " + delta.from_hash, delta.url, "", delta.sha256});
    }
    for (const std::vector<FileDelta>* patches : {&entry.patches(), &entry.labelled_patches()}) {
      for (const FileDelta& patch : *patches) {
        served.push_back({"its patch from MD5 " + patch.from_hash, patch.url, "", patch.sha256});
      }
    }
    for (const Served& form : served) {
      const Named* before = OtherBytesUnder(named, form.url, form.md5, form.sha256);
      if (before == nullptr) continue;
      std::string path, problem;
      if (!EntryInstallPath(entry, path, problem)) path = entry.name();
      refusal = "\"" + path + "\": " + form.what + " would be other bytes under " + form.url + ", where release \"" +
                before->version + "\" published its own; caches keep a URL's bytes for a year and would serve those";
      return false;
    }
  }
  return true;
}
