#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "update/manifest/package_manifest.h"

// The start-up decision, made from values only: the request URL, whether an
// update is due, and which kind runs. The update manager carries it out.

// url + "?r=" + the tick count as a signed 32-bit decimal number, then
// "&v=" + the installed version as the version rule counts it (decimal, so
// nothing in it needs escaping; 0 with no local manifest). The suffix is
// appended whatever the URL holds already; "r" keeps caches from answering,
// "v" tells the server's logs which release each PC runs. A school cache's
// key leaves the query out, so neither splits what it keeps.
std::string BuildManifestRequestUrl(const std::string& url, std::uint32_t tickCount, std::int32_t installedVersion);

// Where a release's signature is served: beside its manifest, with this
// suffix after the manifest's path (before any query the URL has).
inline constexpr char kSignatureSuffixNarrow[] = ".sig";
inline constexpr wchar_t kSignatureSuffix[] = L".sig";
std::string SignatureUrlFor(const std::string& manifestUrl);

// True when the remote version counts as more than the local one.
bool IsUpdateDue(const PackageManifest& remote, const PackageManifest& local);

// Whether the remote release lies within the highest version an
// administrator lets PCs take (none: every version does).
bool WithinHighestVersion(const PackageManifest& remote, std::optional<std::uint32_t> highestVersion);

// Staged rollout. A release may name the share of PCs that take it now; each
// PC draws its bucket, 0 to 99, from a digest of the release's version number
// and what identifies the PC (platform/machine_identity.h), so every start of
// one PC draws the same for one release, and the next release draws anew: the
// same PCs are not always the first. Nothing is written to keep it.
int RolloutBucket(const std::string& version, const std::string& machineIdentity);

// Whether a PC of that bucket takes the release now: the bucket lies below
// the release's share. Every PC takes a release that names no share.
bool TakesRelease(const PackageManifest& remote, int bucket);

enum class UpdateKind {
  kFull,         // full_update: download and start the installer
  kIncremental,  // type exactly "force": download the newer files
  kNone,         // any other type: the worker starts and does nothing
};

UpdateKind ChooseUpdateKind(const PackageManifest& remote);

// The first entry of manifest's file list whose name has the same bytes, or
// the empty entry (whose ver counts as 0).
PackageFileEntry FindEntryByName(const PackageManifest& manifest, const std::string& name);

// Whether an entry stands for bytes to fetch and stage. A "delete" entry
// never does, and neither does one with no hash and no remote_url: there is
// nothing to fetch, and its act applies to the installed file as it is.
bool EntryHasAFile(const PackageFileEntry& entry);

// The entries of one manifest by exact name, for matching a whole list
// against it in linear time; the first entry of a name wins, as in
// FindEntryByName. Refers into manifest, which must outlive it unchanged.
class EntryIndex {
 public:
  explicit EntryIndex(const PackageManifest& manifest);
  // The ver of the entry named name, or empty text (counts as 0) for none.
  std::string VerOf(const std::string& name) const;

 private:
  std::unordered_map<std::string, const PackageFileEntry*> byName_;
};
