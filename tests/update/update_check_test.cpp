#include "update/update_check.h"

#include <gtest/gtest.h>

namespace {

PackageManifest WithVersion(const std::string& version) {
  PackageManifest manifest;
  manifest.set_version(version);
  return manifest;
}

TEST(BuildManifestRequestUrl, AppendsTheTickCountAsASigned32BitNumberThenTheInstalledVersion) {
  EXPECT_EQ(BuildManifestRequestUrl("http://u.example/soft/package.json", 0, 12),
            "http://u.example/soft/package.json?r=0&v=12");
  EXPECT_EQ(BuildManifestRequestUrl("http://u.example/p.json", 2147483647u, 0),
            "http://u.example/p.json?r=2147483647&v=0");
  // After about 24.9 days of uptime the count is written with a minus sign.
  EXPECT_EQ(BuildManifestRequestUrl("http://u.example/p.json", 2147483648u, 3),
            "http://u.example/p.json?r=-2147483648&v=3");
  EXPECT_EQ(BuildManifestRequestUrl("http://u.example/p.json", 4294967295u, -1), "http://u.example/p.json?r=-1&v=-1");
  // A URL that has a query already gets a second question mark.
  EXPECT_EQ(BuildManifestRequestUrl("http://u.example/p.json?channel=beta", 7, 9),
            "http://u.example/p.json?channel=beta?r=7&v=9");
}

// Catches ".sig" put into a query, where a server would ignore it and answer
// with the manifest itself.
TEST(SignatureUrlFor, PutsTheSuffixAfterThePath) {
  EXPECT_EQ(SignatureUrlFor("http://u.example/soft/package.json"), "http://u.example/soft/package.json.sig");
  EXPECT_EQ(SignatureUrlFor("http://u.example/p.json?channel=beta"), "http://u.example/p.json.sig?channel=beta");
  EXPECT_EQ(BuildManifestRequestUrl(SignatureUrlFor("http://u.example/p.json?c=1"), 7, 2),
            "http://u.example/p.json.sig?c=1?r=7&v=2");
}

TEST(IsUpdateDue, ComparesNumbersNotTexts) {
  struct Case {
    const char* remote;
    const char* local;
    bool due;
  } const cases[] = {
      {"12", "9", true},
      {"9", "12", false},
      {"12", "12", false},
      {"2.0", "2.5", false},                // both count as 2
      {"1", "", true},                      // no local manifest counts as 0
      {"", "", false},                      // nothing fetched, nothing installed
      {"2147483648", "2147483647", false},  // saturates
      {"0", "-1", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsUpdateDue(WithVersion(c.remote), WithVersion(c.local)), c.due) << c.remote << " vs " << c.local;
  }
}

// Catches a highest version that holds back the release it names, or lets
// through one above it because the texts compare rather than the numbers.
TEST(WithinHighestVersion, TakesUpToTheHighestVersionByTheVersionRule) {
  struct Case {
    const char* remote;
    std::optional<std::uint32_t> highest;
    bool within;
  } const cases[] = {
      {"12", std::nullopt, true},
      {"12", 12u, true},
      {"13", 12u, false},
      {"9", 12u, true},
      {"012", 12u, true},
      {"12abc", 11u, false},
      {"", 0u, true},
      {"1", 0u, false},
      {"2147483647", 4294967295u, true},
      {"-5", 0u, true},
      {"99999999999", 2147483647u, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WithinHighestVersion(WithVersion(c.remote), c.highest), c.within)
        << c.remote << " within " << (c.highest ? std::to_string(*c.highest) : "none");
  }
}

TEST(ChooseUpdateKind, FullWinsThenOnlyTheExactTypeForce) {
  PackageManifest manifest;
  manifest.set_type("force");
  EXPECT_EQ(ChooseUpdateKind(manifest), UpdateKind::kIncremental);
  manifest.set_full_update(true);
  EXPECT_EQ(ChooseUpdateKind(manifest), UpdateKind::kFull);
  manifest.set_full_update(false);
  for (const char* type : {"Force", "force ", "", "FORCE"}) {
    manifest.set_type(type);
    EXPECT_EQ(ChooseUpdateKind(manifest), UpdateKind::kNone) << '"' << type << '"';
  }
}

TEST(FindEntryByName, MatchesExactBytesAndTakesTheFirst) {
  PackageFileEntry lower, upper, second;
  lower.set_name("a.dll");
  lower.set_ver("3");
  upper.set_name("A.DLL");
  upper.set_ver("4");
  second.set_name("a.dll");
  second.set_ver("5");
  PackageManifest manifest;
  manifest.set_file_list({lower, upper, second});

  EXPECT_EQ(FindEntryByName(manifest, "a.dll").ver(), "3");
  EXPECT_EQ(FindEntryByName(manifest, "A.DLL").ver(), "4");
  EXPECT_EQ(FindEntryByName(manifest, "a.dl"), PackageFileEntry());
  EXPECT_EQ(FindEntryByName(PackageManifest(), "a.dll"), PackageFileEntry());
}

// A share of N must reach about N% of PCs, and each release must pick its
// own: one PC should not be among the first for every release.
TEST(RolloutBucket, SpreadsPcsEvenlyAndAnewForEachRelease) {
  int firstTenthOfFive = 0, alsoFirstTenthOfSix = 0, belowThirty = 0;
  for (int pc = 0; pc < 10000; ++pc) {
    const std::string identity = "PC-" + std::to_string(pc) + "/1A2B" + std::to_string(pc % 7);
    const int bucket = RolloutBucket("5", identity);
    ASSERT_GE(bucket, 0);
    ASSERT_LT(bucket, 100);
    EXPECT_EQ(RolloutBucket("05", identity), bucket) << "the version counts as a number";
    if (bucket < 30) ++belowThirty;
    if (bucket < 10) {
      ++firstTenthOfFive;
      if (RolloutBucket("6", identity) < 10) ++alsoFirstTenthOfSix;
    }
  }
  EXPECT_NEAR(belowThirty, 3000, 300);
  EXPECT_NEAR(firstTenthOfFive, 1000, 150);
  EXPECT_LT(alsoFirstTenthOfSix, firstTenthOfFive / 4);
}

TEST(TakesRelease, BucketBelowTheShare) {
  const struct {
    int share, bucket;
    bool takes;
  } cases[] = {{0, 0, false}, {1, 0, true}, {1, 1, false}, {50, 49, true}, {50, 50, false}, {100, 99, true}};
  for (const auto& c : cases) {
    PackageManifest manifest = WithVersion("2");
    manifest.set_rollout(c.share);
    EXPECT_EQ(TakesRelease(manifest, c.bucket), c.takes) << c.share << " / " << c.bucket;
  }
  EXPECT_TRUE(TakesRelease(WithVersion("2"), 99)) << "no share named: every PC";
}

}  // namespace
