// The times of issue a keyed client remembers, so that the text a halt
// replaced cannot be replayed.

#include "update/proof/issue_ledger.h"

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

namespace {

PackageManifest Issued(const std::string& version, const std::string& issued) {
  PackageManifest manifest;
  manifest.set_version(version);
  manifest.set_issued(issued);
  return manifest;
}

// Catches a replay of an older text taken, the newest text refused, and a
// version's issue mixed up with another's. "07" is version 7 as the client
// counts it.
TEST(IssueLedger, RefusesOnlyAnOlderTextOfAVersionItHasTaken) {
  IssueLedger ledger;
  EXPECT_TRUE(ledger.Accepts(Issued("7", ""))) << "a text from before times of issue, with nothing seen";
  EXPECT_TRUE(ledger.Record(Issued("7", "2026-12-09T10:00:00Z")));
  const struct {
    const char* version;
    const char* issued;
    bool accepted;
  } cases[] = {
      {"7", "2026-12-09T10:00:00Z", true},
      {"07", "2026-12-09T10:00:01Z", true},
      {"7", "2026-12-09T09:59:59Z", false},
      {"7", "", false},
      {"7", "yesterday", false},
      {"8", "2020-01-01T00:00:00Z", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ledger.Accepts(Issued(c.version, c.issued)), c.accepted) << c.version << c.issued;
  EXPECT_FALSE(ledger.Record(Issued("7", "2026-12-09T09:00:00Z"))) << "an older time is no news";
  EXPECT_FALSE(ledger.Record(Issued("7", ""))) << "nor is none";
}

// Catches a ledger lost between starts, one that grows without bound, and a
// damaged file that blocks every release.
TEST(IssueLedger, KeepsTheNewestVersionsAcrossStarts) {
  test_files::TempDirectory scratch("zq_ledger_");
  const std::string path = test_files::NarrowPath(scratch.path() / "issued.txt");
  IssueLedger ledger;
  for (int version = 1; version <= 20; ++version)
    ledger.Record(Issued(std::to_string(version), "2026-12-09T10:00:00Z"));
  ASSERT_TRUE(ledger.Save(path));
  const IssueLedger loaded = IssueLedger::Load(path);
  EXPECT_EQ(loaded.ToText(), ledger.ToText());
  EXPECT_FALSE(loaded.Accepts(Issued("20", "2026-12-09T09:00:00Z")));
  EXPECT_TRUE(loaded.Accepts(Issued("4", "2026-12-09T09:00:00Z"))) << "only the newest versions are kept";
  EXPECT_FALSE(loaded.Accepts(Issued("5", "2026-12-09T09:00:00Z")));

  EXPECT_EQ(IssueLedger::FromText("garbage\n9 12 x\n9 -5\n9 100\n").ToText(), "9 100\n");
  EXPECT_EQ(IssueLedger::Load(path + ".missing").ToText(), "");
}

}  // namespace
