// libFuzzer target for PackageManifestParser::Parse, built natively with clang
// (tests/update/manifest.cmake). Every input is parsed into a record that
// already holds a manifest, as the update check does with its records, and
// the parser's promises are checked: a result of 0 or -1 and nothing else; -1
// leaves the record exactly as it was; 0 replaces it wholly, so the same text
// parsed into a new record gives the same record. The version rule runs on
// what came out and must order texts consistently.

#include "update/manifest/package_manifest.h"
#include "update/manifest/version_number.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char kPrevious[] = R"({"version": "9", "package_date": "20240101", "full_update": true,
  "type": "force", "install_package_url": "http://update.example/setup.exe",
  "file_list": [{"name": "a.dll", "remote_url": "http://update.example/a.dll",
  "hash": "0CC175B9C0F1B6A831C399E269772661", "local_path": "bin\\", "ver": "3", "act": "reg"},
  null]})";

void Check(bool condition) {
  if (!condition) std::abort();
}

const PackageManifest& Previous() {
  static const PackageManifest previous = [] {
    PackageManifest manifest;
    Check(PackageManifestParser::Parse(kPrevious, manifest) == 0);
    return manifest;
  }();
  return previous;
}

void CheckVersionOrder(const std::string& a, const std::string& b) {
  Check(CompareVersions(a, a) == 0);
  Check(CompareVersions(a, b) == -CompareVersions(b, a));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  PackageManifest manifest = Previous();
  const int result = PackageManifestParser::Parse(text, manifest);
  Check(result == 0 || result == -1);
  if (result == -1) {
    Check(manifest == Previous());
    return 0;
  }

  PackageManifest fresh;
  Check(PackageManifestParser::Parse(text, fresh) == 0);
  Check(fresh == manifest);

  const std::vector<PackageFileEntry> list = manifest.file_list();
  CheckVersionOrder(manifest.version(), Previous().version());
  for (const PackageFileEntry& entry : list) CheckVersionOrder(entry.ver(), manifest.version());
  return 0;
}
