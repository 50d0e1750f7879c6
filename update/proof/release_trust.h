#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/manifest/package_manifest.h"
#include "update/proof/release_signature.h"

// What a client demands of a release before it acts on it. A client built
// without a release key demands what it always did: an MD5 per file, nothing
// of the manifest or the installer. Built with a key, it trusts a manifest
// only when its signature verifies, and a file or installer only when its
// SHA-256 is the one that signed manifest names. Pure values; any thread.
class ReleaseTrust {
 public:
  // No key: unsigned releases, as before. There is no default trust: each
  // caller says what it trusts, so a forgotten argument cannot turn checks off.
  static ReleaseTrust Unsigned();
  // The key text the program was built with: one key, or several separated by
  // commas (a primary and an offline backup, so that a lost or compromised
  // one can be replaced); empty text gives no key. Text of which any part is
  // not a key trusts nothing at all rather than everything.
  static ReleaseTrust FromKeyText(const std::string& keyText);

  bool required() const { return required_; }

  // True without a key; with keys, only for a signature of exactly these bytes
  // by any one of them.
  bool AcceptsManifest(const std::string& manifestBytes, const std::string& signatureFile) const;
  // True when the file at path is the one entry names: its MD5 is entry's
  // hash (an empty hash proves nothing), and with a key its SHA-256 is
  // entry's sha256 as well.
  bool AcceptsFile(const std::string& path, const PackageFileEntry& entry) const;
  // The same judgement from the digests of the file's bytes, taken as they
  // were written.
  bool AcceptsDigests(const std::string& md5, const std::string& sha256, const PackageFileEntry& entry) const;
  // True without a key; with one, when the file's SHA-256 is the manifest's
  // install_package_sha256.
  bool AcceptsInstaller(const std::string& path, const PackageManifest& manifest) const;
  // True without a key. With keys, false once nowSecondsSinceEpoch (UTC) has
  // reached the signed manifest's expiry, or when that is not of its exact
  // form; an empty expiry never expires. So an old signed release cannot be
  // served for ever to keep clients from a fix.
  bool AcceptsExpiry(const std::string& expires, std::int64_t nowSecondsSinceEpoch) const;
  // Whether a download of entry or of the installer can be proved at all;
  // false means there is no point in fetching it.
  bool CanProve(const PackageFileEntry& entry) const;
  bool CanProveInstaller(const PackageManifest& manifest) const;

 private:
  ReleaseTrust() = default;

  bool required_ = false;
  bool keyValid_ = false;
  std::vector<ReleasePublicKey> keys_;
};

// Whether the digest the bytes of what have is the one the manifest names.
// Every refusal goes to the event log with both, so that a corrupting proxy
// or disk can be told from a release published wrongly. digest: "MD5" or
// "SHA-256"; what: the file or form as an administrator knows it.
bool DigestAgrees(const char* digest, const std::string& got, const std::string& expected, const std::string& what);

// The pending manifest is written in text mode, which puts a CR before every
// LF. The signature covers the bytes as served: this gives them back, or false
// when text has an LF without its CR (it was not written that way).
bool UndoTextModeNewlines(const std::string& text, std::string& served);
