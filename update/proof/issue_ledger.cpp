#include "update/proof/issue_ledger.h"

#include <cstdio>
#include <sstream>

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"
#include "update/manifest/version_number.h"
#include "update/proof/expiry_time.h"

namespace {

// Seconds since 1970, or -1 for a manifest that names no time of issue.
std::int64_t IssuedSeconds(const PackageManifest& manifest) {
  std::int64_t seconds = -1;
  if (!ParseExpiryTime(manifest.issued(), seconds)) return -1;
  return seconds;
}

// Only the newest versions are kept: older ones no client goes back to.
void KeepNewest(std::map<long, std::int64_t>& newest) {
  while (newest.size() > kIssueLedgerVersions) newest.erase(newest.begin());
}

}  // namespace

IssueLedger IssueLedger::FromText(const std::string& text) {
  IssueLedger ledger;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    long version = 0;
    long long seconds = 0;
    char extra = 0;
    if (std::sscanf(line.c_str(), "%ld %lld %c", &version, &seconds, &extra) == 2 && seconds >= 0) {
      ledger.newest_[version] = seconds;
    }
  }
  KeepNewest(ledger.newest_);
  return ledger;
}

std::string IssueLedger::ToText() const {
  std::string text;
  for (const auto& [version, seconds] : newest_) text += std::to_string(version) + ' ' + std::to_string(seconds) + '\n';
  return text;
}

IssueLedger IssueLedger::Load(const std::string& path) {
  std::string text;
  if (const UniqueFile file{OpenNarrowPath(path, "rb")}) {
    char block[4096];
    std::size_t count = 0;
    // More than any ledger of kIssueLedgerVersions lines: the rest is not ours.
    while (text.size() < 65536 && (count = std::fread(block, 1, sizeof block, file.get())) > 0) {
      text.append(block, count);
    }
  }
  return FromText(text);
}

bool IssueLedger::Save(const std::string& path) const {
  return ReplaceNarrowFileWith(path, ToText());
}

bool IssueLedger::Accepts(const PackageManifest& manifest) const {
  const auto seen = newest_.find(VersionNumber(manifest.version()));
  return seen == newest_.end() || IssuedSeconds(manifest) >= seen->second;
}

bool IssueLedger::Record(const PackageManifest& manifest) {
  const std::int64_t issued = IssuedSeconds(manifest);
  if (issued < 0) return false;
  const long version = VersionNumber(manifest.version());
  const auto seen = newest_.find(version);
  if (seen != newest_.end() && seen->second >= issued) return false;
  newest_[version] = issued;
  KeepNewest(newest_);
  return true;
}
