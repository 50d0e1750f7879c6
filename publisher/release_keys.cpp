#include "publisher/release_keys.h"

#include <sodium/utils.h>

#include <array>

#include "publisher/command_requests.h"
#include "publisher/private_file.h"
#include "publisher/release_tree.h"

namespace {

// A secret key file is about 112 bytes; anything far larger is something else.
constexpr std::size_t kKeyFileCapacity = 4096;

constexpr char kKeygenUsage[] = "usage: zq_publish keygen --out PREFIX   (writes PREFIX.key and PREFIX.pub)\n";

void Wipe(std::string& text) {
  if (!text.empty()) sodium_memzero(&text[0], text.size());
}

// The text of a path for messages, as the operator typed it.
std::string Shown(const std::string& utf8) {
  return "\"" + utf8 + "\"";
}

// Neither file of the pair may exist yet: checked before anything is made,
// so that a refusal leaves no half pair. 0, or 2 with the message printed.
int CheckPairIsNew(const std::string& keyText, const std::string& publicText, std::ostream& err) {
  std::error_code error;
  for (const std::string* shown : {&keyText, &publicText}) {
    if (std::filesystem::symlink_status(PathFromUtf8(*shown), error).type() != std::filesystem::file_type::not_found) {
      err << "zq_publish keygen: " << Shown(*shown) << " exists already; a key is never overwritten\n";
      return 2;
    }
  }
  return 0;
}

}  // namespace

SigningKey::~SigningKey() {
  sodium_memzero(secret_.data(), secret_.size());
}

bool LoadSigningKey(const std::filesystem::path& path, SigningKey& key, std::string& problem) {
  std::array<char, kKeyFileCapacity> buffer;
  std::size_t length = 0;
  bool loaded = ReadPrivateFile(path, buffer.data(), buffer.size(), length, problem);
  if (loaded) {
    std::string text(buffer.data(), length);
    loaded = ParseSecretKeyFile(text, key.secret_);
    Wipe(text);
    if (!loaded) problem = "is not a release secret key file (zq_publish keygen makes one)";
  }
  sodium_memzero(buffer.data(), buffer.size());
  key.loaded_ = loaded;
  return loaded;
}

bool SignManifest(const std::string& manifestText, const SigningKey& key, std::string& signatureFile) {
  if (!key.loaded_) return false;
  const std::string signature = FormatSignatureFile(SignRelease(manifestText, key.secret_));
  // A failed library start leaves the signature all zero; a release carrying
  // it would be refused by every client that demands signatures.
  if (!VerifyReleaseSignature(manifestText, signature, PublicKeyOf(key.secret_))) return false;
  signatureFile = signature;
  return true;
}

int RunKeygen(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  KeygenRequest request;
  std::string problem;
  if (!ParseKeygenRequest(arguments, request, problem)) {
    err << "zq_publish keygen: " << problem << '\n' << kKeygenUsage;
    return 2;
  }
  const std::string keyText = request.prefix + ".key";
  const std::string publicText = request.prefix + ".pub";
  if (CheckPairIsNew(keyText, publicText, err) != 0) return 2;

  ReleasePublicKey publicKey{};
  ReleaseSecretKey secret{};
  if (!GenerateReleaseKeyPair(publicKey, secret)) {
    sodium_memzero(secret.data(), secret.size());
    err << "zq_publish keygen: cannot make a key pair (libsodium did not start)\n";
    return 4;
  }
  std::string secretText = FormatSecretKeyFile(secret);
  sodium_memzero(secret.data(), secret.size());
  const std::filesystem::path keyPath = PathFromUtf8(keyText);
  int result = CreateNewFile(keyPath, secretText, true, problem);
  Wipe(secretText);
  if (result != 0) {
    err << "zq_publish keygen: " << Shown(keyText) << ' ' << problem << '\n';
    return result;
  }
  const std::string publicLine = FormatPublicKey(publicKey);
  result = CreateNewFile(PathFromUtf8(publicText), publicLine + "\n", false, problem);
  if (result != 0) {
    // A secret key whose public half is not beside it would be kept for nothing.
    std::error_code error;
    std::filesystem::remove(keyPath, error);
    err << "zq_publish keygen: " << Shown(publicText) << ' ' << problem << '\n';
    return result;
  }
  out << "secret key " << keyText << " (readable by you alone; keep it offline, with a backup)\n"
      << "public key " << publicText << ": " << publicLine << '\n'
      << "build clients that trust it with -DZQ_UPDATE_PUBLIC_KEY=" << publicLine << '\n'
      << "sign releases with zq_publish ... --sign-key " << keyText << '\n';
  return 0;
}
