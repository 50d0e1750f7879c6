// What a client demands of a release, with and without a release key: the
// manifest's signature, the files' digests, the installer's digest.

#include "update/proof/release_trust.h"

#include "tests/support/test_files.h"
#include "update/proof/expiry_time.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

// A default that trusts unsigned releases would let a forgotten argument turn
// a keyed client's checks off: every caller must say what it trusts.
static_assert(!std::is_default_constructible<ReleaseTrust>::value, "ReleaseTrust has no default");

namespace {

namespace fs = std::filesystem;
using test_files::NarrowPath;
using test_files::WriteFile;

PackageFileEntry EntryFor(const std::string& bytes) {
  PackageFileEntry entry;
  entry.set_name("a.dll");
  entry.set_hash(test_files::Md5Of(bytes));
  entry.set_sha256(Sha256HexOfBytes(bytes));
  return entry;
}

class ReleaseTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GenerateReleaseKeyPair(publicKey_, secretKey_));
    signed_ = ReleaseTrust::FromKeyText(FormatPublicKey(publicKey_));
    WriteFile(file_, kBytes);
  }

  const std::string kBytes = "the published bytes\r\n\x1a";
  test_files::TempDirectory scratch_{"zq_trust_"};
  const fs::path file_ = scratch_.path() / "a.dll";
  ReleasePublicKey publicKey_{};
  ReleaseSecretKey secretKey_{};
  ReleaseTrust signed_ = ReleaseTrust::Unsigned();
  const ReleaseTrust unsigned_ = ReleaseTrust::Unsigned();
};

// Catches an unsigned client that starts demanding what older releases do not
// carry: a signature, SHA-256 digests, an installer digest.
TEST_F(ReleaseTrustTest, WithoutAKeyOnlyTheMd5Counts) {
  EXPECT_FALSE(unsigned_.required());
  EXPECT_TRUE(unsigned_.AcceptsManifest("anything", ""));
  PackageFileEntry entry = EntryFor(kBytes);
  entry.set_sha256("");
  EXPECT_TRUE(unsigned_.CanProve(entry));
  EXPECT_TRUE(unsigned_.AcceptsFile(NarrowPath(file_), entry));
  entry.set_sha256(Sha256HexOfBytes("other bytes"));
  EXPECT_TRUE(unsigned_.AcceptsFile(NarrowPath(file_), entry)) << "a wrong SHA-256 is not looked at";
  entry.set_hash(test_files::Md5Of("other bytes"));
  EXPECT_FALSE(unsigned_.AcceptsFile(NarrowPath(file_), entry));
  entry.set_hash("");
  EXPECT_FALSE(unsigned_.CanProve(entry)) << "an empty hash proves nothing";
  EXPECT_TRUE(unsigned_.AcceptsInstaller(NarrowPath(scratch_.path() / "missing.exe"), PackageManifest()));
}

// Each case is a file a forger might offer. Catches a SHA-256 left unchecked
// when the MD5 matches (MD5 collides on demand), a digest compared without
// case, and a missing digest taken as a pass.
TEST_F(ReleaseTrustTest, WithAKeyAFileNeedsBothDigests) {
  EXPECT_TRUE(signed_.required());
  const PackageFileEntry good = EntryFor(kBytes);
  EXPECT_TRUE(signed_.AcceptsFile(NarrowPath(file_), good));

  struct Case {
    const char* what;
    std::string hash;
    std::string sha256;
  } const cases[] = {
      {"right MD5, wrong SHA-256", good.hash(), Sha256HexOfBytes("forged")},
      {"wrong MD5, right SHA-256", test_files::Md5Of("forged"), good.sha256()},
      {"no SHA-256", good.hash(), ""},
      {"SHA-256 in upper case", good.hash(),
       [&] {
         std::string upper = good.sha256();
         for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         return upper;
       }()},
      {"SHA-256 one digit short", good.hash(), good.sha256().substr(1)},
  };
  for (const Case& c : cases) {
    PackageFileEntry entry = good;
    entry.set_hash(c.hash);
    entry.set_sha256(c.sha256);
    EXPECT_FALSE(signed_.AcceptsFile(NarrowPath(file_), entry)) << c.what;
  }
  PackageFileEntry noDigest = good;
  noDigest.set_sha256("");
  EXPECT_FALSE(signed_.CanProve(noDigest)) << "not worth fetching";
  EXPECT_FALSE(signed_.AcceptsFile(NarrowPath(scratch_.path() / "missing.dll"), good));
}

// Catches an installer started on the MD5-less word of the server, and one
// whose digest the manifest does not give.
TEST_F(ReleaseTrustTest, WithAKeyTheInstallerNeedsItsDigest) {
  PackageManifest manifest;
  EXPECT_FALSE(signed_.CanProveInstaller(manifest));
  EXPECT_FALSE(signed_.AcceptsInstaller(NarrowPath(file_), manifest));
  manifest.set_install_package_sha256(Sha256HexOfBytes(kBytes));
  EXPECT_TRUE(signed_.CanProveInstaller(manifest));
  EXPECT_TRUE(signed_.AcceptsInstaller(NarrowPath(file_), manifest));
  manifest.set_install_package_sha256(Sha256HexOfBytes("forged installer"));
  EXPECT_FALSE(signed_.AcceptsInstaller(NarrowPath(file_), manifest));
}

// Catches a signature check that a malformed built-in key turns off.
TEST_F(ReleaseTrustTest, AKeyThatIsNotAKeyTrustsNothing) {
  const std::string manifest = "{\"version\": \"12\"}";
  const std::string signature = FormatSignatureFile(SignRelease(manifest, secretKey_));
  EXPECT_TRUE(signed_.AcceptsManifest(manifest, signature));
  EXPECT_FALSE(signed_.AcceptsManifest(manifest + "\n", signature));
  EXPECT_FALSE(signed_.AcceptsManifest(manifest, ""));
  const ReleaseTrust broken = ReleaseTrust::FromKeyText("not a key");
  EXPECT_TRUE(broken.required());
  EXPECT_FALSE(broken.AcceptsManifest(manifest, signature));
}

// A primary and a backup key: catches a list that trusts only its first key,
// one that trusts a key it does not name, and one whose garbled entry is
// skipped so that the list quietly means fewer keys than written.
TEST_F(ReleaseTrustTest, AKeyListTrustsASignatureByAnyOfItsKeys) {
  ReleasePublicKey backupPublic{}, otherPublic{};
  ReleaseSecretKey backupSecret{}, otherSecret{};
  ASSERT_TRUE(GenerateReleaseKeyPair(backupPublic, backupSecret));
  ASSERT_TRUE(GenerateReleaseKeyPair(otherPublic, otherSecret));
  const std::string manifest = "{\"version\": \"13\"}";
  const std::string byPrimary = FormatSignatureFile(SignRelease(manifest, secretKey_));
  const std::string byBackup = FormatSignatureFile(SignRelease(manifest, backupSecret));
  const std::string byOther = FormatSignatureFile(SignRelease(manifest, otherSecret));
  const std::string primary = FormatPublicKey(publicKey_);
  const std::string backup = FormatPublicKey(backupPublic);

  const ReleaseTrust both = ReleaseTrust::FromKeyText(primary + ", " + backup);
  EXPECT_TRUE(both.AcceptsManifest(manifest, byPrimary));
  EXPECT_TRUE(both.AcceptsManifest(manifest, byBackup));
  EXPECT_FALSE(both.AcceptsManifest(manifest, byOther));
  EXPECT_FALSE(both.AcceptsManifest(manifest + " ", byBackup));
  for (const std::string& garbled : {primary + ",x", primary + ",", primary + ",," + backup}) {
    const ReleaseTrust broken = ReleaseTrust::FromKeyText(garbled);
    EXPECT_TRUE(broken.required()) << garbled;
    EXPECT_FALSE(broken.AcceptsManifest(manifest, byPrimary)) << garbled;
  }
}

// Catches an expiry read in local time or off by a day at month, year and
// leap-day edges, a malformed one taken as "never", a release still trusted
// at its expiry second, and an unsigned client that refuses what it used to
// install.
TEST_F(ReleaseTrustTest, ASignedManifestPastItsExpiryIsRefused) {
  const struct {
    const char* text;
    std::int64_t seconds;  // -1: not an expiry time
  } forms[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2027-01-31T00:00:00Z", 1801353600},
      {"2028-02-29T23:59:59Z", 1835481599},
      {"2000-03-01T00:00:00Z", 951868800},
      {"9999-12-31T23:59:59Z", 253402300799},
      {"2027-02-29T00:00:00Z", -1},
      {"2100-02-29T00:00:00Z", -1},
      {"2027-01-31T00:00:00z", -1},
      {"2027-01-31T00:00:00", -1},
      {"2027-01-31 00:00:00Z", -1},
      {"2027-1-31T00:00:00Z", -1},
      {"2027-13-01T00:00:00Z", -1},
      {"2027-01-31T24:00:00Z", -1},
      {"1969-12-31T23:59:59Z", -1},
      {"+027-01-31T00:00:00Z", -1},
      {" 2027-01-31T00:00:00Z", -1},
  };
  for (const auto& f : forms) {
    std::int64_t seconds = -1;
    EXPECT_EQ(ParseExpiryTime(f.text, seconds), f.seconds >= 0) << f.text;
    if (f.seconds >= 0) {
      EXPECT_EQ(seconds, f.seconds) << f.text;
      EXPECT_EQ(FormatExpiryTime(f.seconds), f.text);
    }
  }

  const std::int64_t expiry = 1801353600;  // 2027-01-31T00:00:00Z
  EXPECT_TRUE(signed_.AcceptsExpiry("", expiry)) << "no expiry: never";
  EXPECT_TRUE(signed_.AcceptsExpiry("2027-01-31T00:00:00Z", expiry - 1));
  EXPECT_FALSE(signed_.AcceptsExpiry("2027-01-31T00:00:00Z", expiry));
  EXPECT_FALSE(signed_.AcceptsExpiry("2027-01-31", 0)) << "garbled";
  for (const char* any : {"", "2027-01-31T00:00:00Z", "garbled"}) {
    EXPECT_TRUE(unsigned_.AcceptsExpiry(any, expiry + 1)) << any;
  }
}

// The pending manifest is written in text mode; its signature covers the
// served bytes. Catches a CR lost or added on the way back, and a file with a
// bare LF (not written by us) accepted.
TEST(UndoTextModeNewlines, GivesBackTheServedBytes) {
  const struct {
    std::string written;
    bool ok;
    std::string served;
  } cases[] = {
      {"", true, ""},
      {"{}\r\n", true, "{}\n"},
      {"a\r\r\nb", true, "a\r\nb"},  // served with CR LF: text mode made CR CR LF
      {"a\rb\r", true, "a\rb\r"},
      {"\r\n\r\n", true, "\n\n"},
      {"a\nb", false, ""},
      {"\n", false, ""},
  };
  for (const auto& c : cases) {
    std::string served = "untouched";
    EXPECT_EQ(UndoTextModeNewlines(c.written, served), c.ok) << c.written;
    if (c.ok) EXPECT_EQ(served, c.served) << c.written;
  }
}

// FIPS 180-2's vectors, and a file read in blocks. Catches a digest of a
// prefix, and text-mode reading.
TEST(Sha256Digest, KnownVectorsAndFiles) {
  EXPECT_EQ(Sha256HexOfBytes(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256HexOfBytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256HexOfBytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  test_files::TempDirectory scratch("zq_sha256_");
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + (i >> 9));
  WriteFile(scratch.path() / "big.bin", big);
  EXPECT_EQ(Sha256HexOfFile(NarrowPath(scratch.path() / "big.bin")), Sha256HexOfBytes(big));
  EXPECT_EQ(Sha256HexOfFile(NarrowPath(scratch.path() / "missing.bin")), "");
  EXPECT_TRUE(IsSha256Hex(Sha256HexOfBytes(big)));
  EXPECT_FALSE(IsSha256Hex(""));
}

}  // namespace
