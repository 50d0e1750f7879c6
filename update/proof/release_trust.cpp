#include "update/proof/release_trust.h"

#include "platform/event_log.h"
#include "update/proof/expiry_time.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"

namespace {

std::string EntryName(const PackageFileEntry& entry) {
  return entry.local_path() + entry.name();
}

}  // namespace

bool DigestAgrees(const char* digest, const std::string& got, const std::string& expected, const std::string& what) {
  if (got == expected) return true;
  LogEvent("proof: " + what + ": " + digest + " is " + (got.empty() ? "unreadable" : got) + ", the manifest says " +
           (expected.empty() ? "nothing" : expected));
  return false;
}

ReleaseTrust ReleaseTrust::Unsigned() {
  return ReleaseTrust();
}

ReleaseTrust ReleaseTrust::FromKeyText(const std::string& keyText) {
  ReleaseTrust trust;
  if (keyText.empty()) return trust;
  trust.required_ = true;
  trust.keyValid_ = true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = keyText.find(',', start);
    ReleasePublicKey key{};
    // A list with one garbled key was not meant: it must not quietly stand
    // for the keys that happen to parse.
    if (!ParsePublicKey(keyText.substr(start, comma == std::string::npos ? std::string::npos : comma - start), key)) {
      trust.keyValid_ = false;
      trust.keys_.clear();
      return trust;
    }
    trust.keys_.push_back(key);
    if (comma == std::string::npos) return trust;
    start = comma + 1;
  }
}

bool ReleaseTrust::AcceptsManifest(const std::string& manifestBytes, const std::string& signatureFile) const {
  if (!required_) return true;
  if (!keyValid_) return false;
  for (const ReleasePublicKey& key : keys_) {
    if (VerifyReleaseSignature(manifestBytes, signatureFile, key)) return true;
  }
  return false;
}

bool ReleaseTrust::AcceptsExpiry(const std::string& expires, std::int64_t nowSecondsSinceEpoch) const {
  if (!required_ || expires.empty()) return true;
  std::int64_t expiry = 0;
  // A garbled expiry in a signed manifest was not meant: refused, not ignored.
  return ParseExpiryTime(expires, expiry) && nowSecondsSinceEpoch < expiry;
}

bool ReleaseTrust::CanProve(const PackageFileEntry& entry) const {
  // The digest of a file that never arrived is empty too: an empty hash would
  // report a missing file as proved.
  if (!entry.hash().empty() && (!required_ || IsSha256Hex(entry.sha256()))) return true;
  LogEvent("proof: " + EntryName(entry) + ": the manifest names no digest that proves it");
  return false;
}

bool ReleaseTrust::CanProveInstaller(const PackageManifest& manifest) const {
  return !required_ || IsSha256Hex(manifest.install_package_sha256());
}

bool ReleaseTrust::AcceptsFile(const std::string& path, const PackageFileEntry& entry) const {
  if (!CanProve(entry) || !DigestAgrees("MD5", CMD5Checksum::HashFile(path), entry.hash(), EntryName(entry))) {
    return false;
  }
  return !required_ || DigestAgrees("SHA-256", Sha256HexOfFile(path), entry.sha256(), EntryName(entry));
}

bool ReleaseTrust::AcceptsDigests(const std::string& md5, const std::string& sha256,
                                  const PackageFileEntry& entry) const {
  if (!CanProve(entry) || !DigestAgrees("MD5", md5, entry.hash(), EntryName(entry))) return false;
  return !required_ || DigestAgrees("SHA-256", sha256, entry.sha256(), EntryName(entry));
}

bool ReleaseTrust::AcceptsInstaller(const std::string& path, const PackageManifest& manifest) const {
  if (!required_) return true;
  return CanProveInstaller(manifest) &&
         DigestAgrees("SHA-256", Sha256HexOfFile(path), manifest.install_package_sha256(), "the installer");
}

bool UndoTextModeNewlines(const std::string& text, std::string& served) {
  std::string original;
  original.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    original += text[i];
  }
  served = std::move(original);
  return true;
}
