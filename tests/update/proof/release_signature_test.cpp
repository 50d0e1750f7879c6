// Release signatures and their text forms: what a publisher writes and a
// client built with a release key reads.

#include "update/proof/release_signature.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct KeyPair {
  ReleasePublicKey publicKey{};
  ReleaseSecretKey secretKey{};
};

KeyPair NewKeyPair() {
  KeyPair pair;
  EXPECT_TRUE(GenerateReleaseKeyPair(pair.publicKey, pair.secretKey));
  return pair;
}

std::string Hex(const ReleasePublicKey& key) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char byte : key) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

const std::string kManifest = "{\n  \"version\": \"12\",\n  \"file_list\": []\n}\n";

// Catches a signature that covers less than every byte, one accepted from
// another key, and a damaged signature taken as good.
TEST(ReleaseSignature, VerifiesExactlyTheSignedBytesWithTheSigningKey) {
  const KeyPair pair = NewKeyPair();
  const std::string signature = FormatSignatureFile(SignRelease(kManifest, pair.secretKey));
  EXPECT_TRUE(VerifyReleaseSignature(kManifest, signature, pair.publicKey));
  EXPECT_TRUE(VerifyReleaseSignature("", FormatSignatureFile(SignRelease("", pair.secretKey)), pair.publicKey));

  for (size_t i = 0; i < kManifest.size(); ++i) {
    std::string changed = kManifest;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    EXPECT_FALSE(VerifyReleaseSignature(changed, signature, pair.publicKey)) << "byte " << i;
  }
  EXPECT_FALSE(VerifyReleaseSignature(kManifest + " ", signature, pair.publicKey)) << "a byte added";
  EXPECT_FALSE(VerifyReleaseSignature(kManifest.substr(1), signature, pair.publicKey)) << "a byte taken away";
  EXPECT_FALSE(VerifyReleaseSignature(kManifest, signature, NewKeyPair().publicKey)) << "another key";

  ReleaseSignature damaged = SignRelease(kManifest, pair.secretKey);
  damaged[10] ^= 0x40;
  EXPECT_FALSE(VerifyReleaseSignature(kManifest, FormatSignatureFile(damaged), pair.publicKey));
}

// Catches a key read from text that is not exactly one key: a short or long
// value, stray characters, or blanks inside it.
TEST(ReleaseSignature, PublicKeyTextIsOneWholeKey) {
  const KeyPair pair = NewKeyPair();
  const std::string base64 = FormatPublicKey(pair.publicKey);
  ASSERT_EQ(base64.size(), 44u);
  for (const std::string& text : {base64, base64 + "\n", " " + base64 + "\r\n", Hex(pair.publicKey)}) {
    ReleasePublicKey key{};
    EXPECT_TRUE(ParsePublicKey(text, key)) << text;
    EXPECT_EQ(key, pair.publicKey) << text;
  }
  const std::string refused[] = {
      "",
      base64.substr(0, 43),
      base64 + "=",
      base64.substr(0, 20) + " " + base64.substr(20, 23),
      base64.substr(0, 43) + "*",
      Hex(pair.publicKey).substr(0, 63),
      Hex(pair.publicKey) + "0",
      "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==",  // 33 bytes
      base64 + "\n" + base64,
  };
  for (const std::string& text : refused) {
    ReleasePublicKey key = pair.publicKey;
    EXPECT_FALSE(ParsePublicKey(text, key)) << text;
    EXPECT_EQ(key, pair.publicKey) << "left as it was";
  }
}

// Catches an error page, a truncated or padded signature, or raw bytes read as
// a signature file.
TEST(ReleaseSignature, SignatureFilesAreOneLineOfBase64) {
  const KeyPair pair = NewKeyPair();
  const ReleaseSignature signature = SignRelease(kManifest, pair.secretKey);
  const std::string line = FormatSignatureFile(signature);
  ASSERT_EQ(line.size(), 89u);
  ASSERT_EQ(line.back(), '\n');
  for (const std::string& text : {line, line.substr(0, 88), line.substr(0, 88) + "\r\n"}) {
    ReleaseSignature parsed{};
    EXPECT_TRUE(ParseSignatureFile(text, parsed)) << text;
    EXPECT_EQ(parsed, signature);
  }
  const std::string refused[] = {
      "",
      "<html><body><h1>404 Not Found</h1></body></html>\n",
      line.substr(0, 87),
      line.substr(0, 88) + "AAAA",
      std::string(reinterpret_cast<const char*>(signature.data()), signature.size()),
      line + line,
  };
  for (const std::string& text : refused) {
    ReleaseSignature parsed{};
    EXPECT_FALSE(ParseSignatureFile(text, parsed)) << text;
    EXPECT_FALSE(VerifyReleaseSignature(kManifest, text, pair.publicKey)) << text;
  }
}

// Catches a secret key file that signs for a key no client holds, and a public
// key file taken for a secret one.
TEST(ReleaseSignature, SecretKeyFilesRoundTripAndTheirHalvesMustAgree) {
  const KeyPair pair = NewKeyPair();
  const std::string file = FormatSecretKeyFile(pair.secretKey);
  EXPECT_EQ(file.compare(0, 22, "ZQ-ED25519-SECRET-KEY\n"), 0);
  ReleaseSecretKey parsed{};
  ASSERT_TRUE(ParseSecretKeyFile(file, parsed));
  EXPECT_EQ(parsed, pair.secretKey);
  EXPECT_EQ(PublicKeyOf(parsed), pair.publicKey);
  EXPECT_TRUE(ParseSecretKeyFile("\r\n" + file + "\r\n", parsed)) << "blank lines around it";

  ReleaseSecretKey mixed = pair.secretKey;
  const ReleasePublicKey other = NewKeyPair().publicKey;
  std::copy(other.begin(), other.end(), mixed.begin() + 32);
  const std::string refused[] = {
      FormatSecretKeyFile(mixed),
      file.substr(22),
      FormatPublicKey(pair.publicKey) + "\n",
      "ZQ-ED25519-SECRET-KEY\n" + FormatPublicKey(pair.publicKey) + "\n",
      "ZQ-ED25519-PUBLIC-KEY\n" + file.substr(22),
  };
  for (const std::string& text : refused) {
    ReleaseSecretKey key{};
    EXPECT_FALSE(ParseSecretKeyFile(text, key)) << text;
  }
}

}  // namespace
