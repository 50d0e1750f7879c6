#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "update/proof/release_signature.h"

// The publisher's side of release signing: the secret key read for
// --sign-key, the detached signature of a manifest, and `zq_publish keygen`.
// Any thread.

// A release secret key, wiped from memory when it goes. Not copyable, so the
// key lives in one place only.
class SigningKey {
 public:
  SigningKey() = default;
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  bool loaded() const { return loaded_; }
  ReleasePublicKey PublicKey() const { return PublicKeyOf(secret_); }

 private:
  friend bool LoadSigningKey(const std::filesystem::path&, SigningKey&, std::string&);
  friend bool SignManifest(const std::string&, const SigningKey&, std::string&);

  ReleaseSecretKey secret_{};
  bool loaded_ = false;
};

// Reads a secret key file that only its owner can read (private_file.h):
// true and key loaded, or false and problem one line that reads after the
// file's name (the publisher's exit code 2).
bool LoadSigningKey(const std::filesystem::path& path, SigningKey& key, std::string& problem);

// The signature file of exactly manifestText, proved with the key's public
// half before it is given out; false when it does not verify.
bool SignManifest(const std::string& manifestText, const SigningKey& key, std::string& signatureFile);

// zq_publish keygen --out PREFIX: a new key pair as PREFIX.key (the secret
// key file, owner-only, never overwritten) and PREFIX.pub (the public key's
// line). Exit codes as RunPublisher's: 0 made, 2 bad arguments or a file in
// the way, 4 I/O failure (nothing left behind).
int RunKeygen(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
