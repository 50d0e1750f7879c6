#pragma once

#include <sodium/crypto_hash_sha256.h>

#include <cstddef>
#include <string>

// SHA-256 (libsodium) rendered as signed manifests carry it for each file and
// for the installer: 64 lower-case hexadecimal digits. MD5 only catches a
// damaged download; this digest, covered by the release signature, is what a
// forger cannot match. One object hashes one input; any thread may use its own.
class Sha256Digest {
 public:
  Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  void Update(const void* input, std::size_t length);
  // Finishes the digest and returns its text. The object is spent afterwards.
  std::string FinalHex();

 private:
  crypto_hash_sha256_state state_;
};

std::string Sha256HexOfBytes(const std::string& bytes);

// Digest of the file named by narrow text (code page 936 on Windows); empty
// text when it cannot be opened or read to its end.
std::string Sha256HexOfFile(const std::string& path);

// Exactly 64 characters from 0-9 and a-f: the only form a manifest may carry.
bool IsSha256Hex(const std::string& text);
