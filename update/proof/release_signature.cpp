#include "update/proof/release_signature.h"

#include <sodium/core.h>
#include <sodium/crypto_sign.h>
#include <sodium/utils.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace {

static_assert(sizeof(ReleasePublicKey) == crypto_sign_PUBLICKEYBYTES, "Ed25519 public key size");
static_assert(sizeof(ReleaseSecretKey) == crypto_sign_SECRETKEYBYTES, "Ed25519 secret key size");
static_assert(sizeof(ReleaseSignature) == crypto_sign_BYTES, "Ed25519 signature size");

constexpr char kSecretKeyTag[] = "ZQ-ED25519-SECRET-KEY";
constexpr int kBase64 = sodium_base64_VARIANT_ORIGINAL;

bool Ready() {
  return sodium_init() >= 0;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The whole text must decode to exactly out.size() bytes: no blanks inside,
// nothing left over, no short or long value.
template <size_t N>
bool DecodeBase64Exactly(const std::string& text, std::array<unsigned char, N>& out) {
  if (text.size() != sodium_base64_ENCODED_LEN(N, kBase64) - 1) return false;
  size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end, kBase64) != 0) {
    return false;
  }
  return length == N && end == text.data() + text.size();
}

template <size_t N>
bool DecodeHexExactly(const std::string& text, std::array<unsigned char, N>& out) {
  if (text.size() != N * 2) return false;
  size_t length = 0;
  const char* end = nullptr;
  if (sodium_hex2bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end) != 0) return false;
  return length == N && end == text.data() + text.size();
}

template <size_t N>
std::string EncodeBase64(const std::array<unsigned char, N>& bytes) {
  std::vector<char> text(sodium_base64_ENCODED_LEN(N, kBase64));
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), kBase64);
  return std::string(text.data());
}

}  // namespace

bool ParsePublicKey(const std::string& text, ReleasePublicKey& key) {
  const std::string value = Trimmed(text);
  ReleasePublicKey parsed;
  if (!DecodeBase64Exactly(value, parsed) && !DecodeHexExactly(value, parsed)) return false;
  key = parsed;
  return true;
}

std::string FormatPublicKey(const ReleasePublicKey& key) {
  return EncodeBase64(key);
}

bool ParseSignatureFile(const std::string& bytes, ReleaseSignature& signature) {
  ReleaseSignature parsed;
  if (!DecodeBase64Exactly(Trimmed(bytes), parsed)) return false;
  signature = parsed;
  return true;
}

std::string FormatSignatureFile(const ReleaseSignature& signature) {
  return EncodeBase64(signature) + "\n";
}

bool VerifyReleaseSignature(const std::string& manifestBytes, const std::string& signatureFile,
                            const ReleasePublicKey& publicKey) {
  ReleaseSignature signature;
  if (!Ready() || !ParseSignatureFile(signatureFile, signature)) return false;
  return crypto_sign_verify_detached(signature.data(), reinterpret_cast<const unsigned char*>(manifestBytes.data()),
                                     manifestBytes.size(), publicKey.data()) == 0;
}

bool GenerateReleaseKeyPair(ReleasePublicKey& publicKey, ReleaseSecretKey& secretKey) {
  return Ready() && crypto_sign_keypair(publicKey.data(), secretKey.data()) == 0;
}

namespace {

// A copy of secret text, wiped when it goes.
class SecretText {
 public:
  explicit SecretText(std::string text) : text_(std::move(text)) {}
  ~SecretText() {
    if (!text_.empty()) sodium_memzero(&text_[0], text_.size());
  }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  const std::string& get() const { return text_; }

 private:
  std::string text_;
};

}  // namespace

bool ParseSecretKeyFile(const std::string& bytes, ReleaseSecretKey& secretKey) {
  const SecretText text(Trimmed(bytes));
  const size_t lineEnd = text.get().find('\n');
  if (lineEnd == std::string::npos || Trimmed(text.get().substr(0, lineEnd)) != kSecretKeyTag) return false;
  ReleaseSecretKey parsed;
  const SecretText encoded(Trimmed(text.get().substr(lineEnd + 1)));
  if (!Ready() || !DecodeBase64Exactly(encoded.get(), parsed)) return false;
  // The second half is the public key: it must be the one the seed makes, or
  // releases would be signed for a key that no client holds.
  ReleasePublicKey derived;
  ReleaseSecretKey rebuilt;
  const bool agrees = crypto_sign_seed_keypair(derived.data(), rebuilt.data(), parsed.data()) == 0 && rebuilt == parsed;
  sodium_memzero(rebuilt.data(), rebuilt.size());
  if (agrees) secretKey = parsed;
  sodium_memzero(parsed.data(), parsed.size());
  return agrees;
}

std::string FormatSecretKeyFile(const ReleaseSecretKey& secretKey) {
  return std::string(kSecretKeyTag) + "\n" + EncodeBase64(secretKey) + "\n";
}

ReleasePublicKey PublicKeyOf(const ReleaseSecretKey& secretKey) {
  ReleasePublicKey publicKey{};
  crypto_sign_ed25519_sk_to_pk(publicKey.data(), secretKey.data());
  return publicKey;
}

ReleaseSignature SignRelease(const std::string& manifestBytes, const ReleaseSecretKey& secretKey) {
  ReleaseSignature signature{};
  if (!Ready()) return signature;
  crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(manifestBytes.data()),
                       manifestBytes.size(), secretKey.data());
  return signature;
}
