#pragma once

// The newest time of issue this PC has accepted for each release version, so
// that a signed manifest that a newer text of the same version replaced (a
// release halted, or its share narrowed) cannot be replayed: by a stale CDN,
// a school cache serving stale on error, or anyone answering for the update
// host. Kept in a small text file, one "version seconds" line each; paths are
// narrow text (code page 936 on Windows). Not thread-safe; the main thread
// uses it during the update check.

#include <cstdint>
#include <map>
#include <string>

#include "update/manifest/package_manifest.h"

class IssueLedger {
 public:
  // The ledger saved at path; an unreadable file or line reads as nothing.
  static IssueLedger Load(const std::string& path);
  // Writes the ledger beside path and moves it into place; false, and path
  // as it was, when that fails.
  bool Save(const std::string& path) const;

  // False when the ledger holds a later issue for manifest's version (as the
  // version rule counts it) than manifest names. A manifest that names none,
  // or no time of that form, counts as issued before any time.
  bool Accepts(const PackageManifest& manifest) const;
  // Notes manifest's time of issue for its version; true when that is news.
  // Only the newest versions are kept: older ones no client goes back to.
  bool Record(const PackageManifest& manifest);

  std::string ToText() const;
  static IssueLedger FromText(const std::string& text);

 private:
  std::map<long, std::int64_t> newest_;
};

// How many versions a ledger keeps.
inline constexpr std::size_t kIssueLedgerVersions = 16;
