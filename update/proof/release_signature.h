#pragma once

#include <array>
#include <string>

// Ed25519 release signatures (libsodium). The publisher signs the exact bytes
// of a release's package.json and serves the detached signature beside it as
// package.json.sig; a client built with the release public key trusts nothing
// in a manifest whose signature does not verify. Pure functions on bytes; any
// thread.
//
// Text forms, each one line, LF-terminated when written (CR LF and surrounding
// blanks are accepted when read):
//   public key      base64 of the 32 key bytes (or, where an operator types it,
//                   64 hexadecimal digits)
//   signature file  base64 of the 64 signature bytes
//   secret key file "ZQ-ED25519-SECRET-KEY" on the first line, then base64 of
//                   libsodium's 64-byte secret key (seed and public key)

using ReleasePublicKey = std::array<unsigned char, 32>;
using ReleaseSecretKey = std::array<unsigned char, 64>;
using ReleaseSignature = std::array<unsigned char, 64>;

bool ParsePublicKey(const std::string& text, ReleasePublicKey& key);
std::string FormatPublicKey(const ReleasePublicKey& key);

bool ParseSignatureFile(const std::string& bytes, ReleaseSignature& signature);
std::string FormatSignatureFile(const ReleaseSignature& signature);

// True only for a well-formed signature file whose signature, made with the
// secret key of publicKey, covers exactly manifestBytes.
bool VerifyReleaseSignature(const std::string& manifestBytes, const std::string& signatureFile,
                            const ReleasePublicKey& publicKey);

// The publisher's side.
bool GenerateReleaseKeyPair(ReleasePublicKey& publicKey, ReleaseSecretKey& secretKey);
// False for anything but a secret key file whose key halves agree.
bool ParseSecretKeyFile(const std::string& bytes, ReleaseSecretKey& secretKey);
std::string FormatSecretKeyFile(const ReleaseSecretKey& secretKey);
ReleasePublicKey PublicKeyOf(const ReleaseSecretKey& secretKey);
ReleaseSignature SignRelease(const std::string& manifestBytes, const ReleaseSecretKey& secretKey);
