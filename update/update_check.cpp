#include "update/update_check.h"

#include "update/manifest/version_number.h"
#include "update/proof/sha256_digest.h"

std::string BuildManifestRequestUrl(const std::string& url, std::uint32_t tickCount, std::int32_t installedVersion) {
  // GetTickCount wraps after 49.7 days; above 2^31 it is written negative.
  return url + "?r=" + std::to_string(static_cast<std::int32_t>(tickCount)) + "&v=" + std::to_string(installedVersion);
}

std::string SignatureUrlFor(const std::string& manifestUrl) {
  const std::size_t query = manifestUrl.find('?');
  if (query == std::string::npos) return manifestUrl + kSignatureSuffixNarrow;
  return manifestUrl.substr(0, query) + kSignatureSuffixNarrow + manifestUrl.substr(query);
}

bool IsUpdateDue(const PackageManifest& remote, const PackageManifest& local) {
  return VersionNumber(remote.version()) > VersionNumber(local.version());
}

bool WithinHighestVersion(const PackageManifest& remote, std::optional<std::uint32_t> highestVersion) {
  // Compared wide: a highest version above INT32_MAX holds nothing back.
  return !highestVersion || static_cast<std::int64_t>(VersionNumber(remote.version())) <= *highestVersion;
}

int RolloutBucket(const std::string& version, const std::string& machineIdentity) {
  // The version as the client counts it, so "7" and "07" are one release.
  const std::string digest =
      Sha256HexOfBytes("zq-rollout\n" + std::to_string(VersionNumber(version)) + "\n" + machineIdentity);
  // 32 bits of the digest; their spread over 100 buckets is uneven by 1 in 10^7.
  return static_cast<int>(std::stoul(digest.substr(0, 8), nullptr, 16) % 100);
}

bool TakesRelease(const PackageManifest& remote, int bucket) {
  return bucket < remote.rollout();
}

UpdateKind ChooseUpdateKind(const PackageManifest& remote) {
  if (remote.full_update()) return UpdateKind::kFull;
  if (remote.type() == "force") return UpdateKind::kIncremental;
  return UpdateKind::kNone;
}

PackageFileEntry FindEntryByName(const PackageManifest& manifest, const std::string& name) {
  for (const PackageFileEntry& entry : manifest.file_list()) {
    if (entry.name() == name) return entry;
  }
  return PackageFileEntry();
}

bool EntryHasAFile(const PackageFileEntry& entry) {
  if (entry.act() == "delete") return false;
  return !(entry.hash().empty() && entry.remote_url().empty());
}

EntryIndex::EntryIndex(const PackageManifest& manifest) {
  byName_.reserve(manifest.file_list().size());
  for (const PackageFileEntry& entry : manifest.file_list()) byName_.emplace(entry.name(), &entry);
}

std::string EntryIndex::VerOf(const std::string& name) const {
  const auto found = byName_.find(name);
  return found == byName_.end() ? std::string() : found->second->ver();
}
