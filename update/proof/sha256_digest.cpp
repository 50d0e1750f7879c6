#include "update/proof/sha256_digest.h"

#include <sodium/core.h>
#include <sodium/utils.h>

#include <cstdio>

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"

Sha256Digest::Sha256Digest() {
  // Picks libsodium's implementation for this processor, once. SHA-256 works
  // (in its portable form) even if that fails.
  static const bool initialised = sodium_init() >= 0;
  (void)initialised;
  crypto_hash_sha256_init(&state_);
}

void Sha256Digest::Update(const void* input, std::size_t length) {
  if (length == 0) return;
  crypto_hash_sha256_update(&state_, static_cast<const unsigned char*>(input), length);
}

std::string Sha256Digest::FinalHex() {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state_, digest);
  char hex[crypto_hash_sha256_BYTES * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return std::string(hex, crypto_hash_sha256_BYTES * 2);
}

std::string Sha256HexOfBytes(const std::string& bytes) {
  Sha256Digest digest;
  digest.Update(bytes.data(), bytes.size());
  return digest.FinalHex();
}

std::string Sha256HexOfFile(const std::string& path) {
  UniqueFile file(OpenNarrowPath(path, "rb"));
  if (!file) return std::string();
  Sha256Digest digest;
  unsigned char block[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) digest.Update(block, got);
  // Unlike MD5's rule, a read error gives no digest: a prefix must never pass.
  if (std::ferror(file.get())) return std::string();
  return digest.FinalHex();
}

bool IsSha256Hex(const std::string& text) {
  if (text.size() != crypto_hash_sha256_BYTES * 2) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}
