// The roads a file can take, against our own HTTP server: which URLs a
// client asks for, what it stages, and that every failed road hands over to
// the next without leaving anything behind.

#include "update/delta/fetch_roads.h"

#include "tests/support/test_files.h"
#include "publisher/patch_make.h"
#include "publisher/zstd_encode.h"
#include "update/delta/zstd_decode.h"
#include "tests/server/test_http_server.h"
#include "update/proof/release_signature.h"
#include "update/proof/sha256_digest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_files::NarrowPath;
using test_files::ReadFile;
using test_files::WriteFile;

// A program-like file and its next version: most bytes shared, a few changed.
std::string Version(int release) {
  std::string bytes;
  for (int i = 0; i < 4000; ++i) bytes += "record " + std::to_string(i * 7919 % 10007) + ";";
  for (int i = 0; i < release; ++i) bytes.replace(1000 + 5000 * i, 6, "change");
  return bytes;
}

// One entry's roads alone on an engine, as a run takes them for each file.
bool FetchByCheapestRoad(const PackageFileEntry& entry, const std::string& installedPath,
                         const std::string& partialPath, const ReleaseTrust& trust, const RetryPolicy& retry,
                         FetchRoad& road) {
  TransferEngine engine(1);
  bool proved = false;
  RoadFetch fetch(engine, entry, installedPath, partialPath, trust, retry, [&](bool ok, FetchRoad used) {
    proved = ok;
    road = used;
  });
  fetch.Start();
  engine.Run();
  return proved;
}

// A delta served at server + path, made from base, as a manifest names it.
FileDelta NamedDelta(const std::string& server, const std::string& base, const std::string& path,
                     const std::string& bytes) {
  FileDelta named;
  named.from_hash = test_files::Md5Of(base);
  named.from_sha256 = Sha256HexOfBytes(base);
  named.url = server + path;
  named.size = static_cast<long long>(bytes.size());
  named.sha256 = Sha256HexOfBytes(bytes);
  return named;
}

// The entry of target, served at server + "/f", its compressed copy at "/c".
PackageFileEntry TargetEntry(const std::string& server, const std::string& target, const std::string& copy) {
  PackageFileEntry entry;
  entry.set_name("a.dll");
  entry.set_ver("2");
  entry.set_remote_url(server + "/f");
  entry.set_hash(test_files::Md5Of(target));
  entry.set_size(static_cast<long long>(target.size()));
  entry.set_compressed({server + "/c", static_cast<long long>(copy.size()), Sha256HexOfBytes(copy)});
  return entry;
}

enum class Served { kAsMade, kCorrupt, kTruncated, kOtherBytes };

struct RoadCase {
  const char* fault;               // what the case would catch
  std::string installed;           // the file under the install directory
  Served delta;                    // how the server holds the delta
  int windowLogDelta;              // added to the delta's named window
  Served copy;                     // how it holds the compressed copy
  bool keyed;                      // a client built with a release key
  FetchRoad road;                  // the road that must prove the file
  std::vector<std::string> asked;  // the requests, in order
};

class FetchRoadsTest : public ::testing::TestWithParam<RoadCase> {
 protected:
  static void SetUpTestSuite() { test_files::BypassProxies(); }
  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  void TearDown() override { server_.Stop(); }

  std::string Hold(const std::string& bytes, Served how, const std::string& other) {
    switch (how) {
      case Served::kAsMade: return bytes;
      case Served::kCorrupt: {
        std::string corrupt = bytes;
        corrupt[corrupt.size() / 2] ^= 0x40;
        return corrupt;
      }
      case Served::kTruncated: return bytes.substr(0, bytes.size() - 9);
      case Served::kOtherBytes: return other;
    }
    return bytes;
  }

  test_http::TestHttpServer server_;
  test_files::TempDirectory scratch_{"zq_roads_"};
};

TEST_P(FetchRoadsTest, TakesTheCheapestRoadThatProves) {
  const RoadCase& c = GetParam();
  const std::string base = Version(1);
  const std::string target = Version(2);
  std::string delta, otherDelta, copy;
  int window = 0, otherWindow = 0;
  ASSERT_TRUE(MakeDelta(base, target, 19, delta, window));
  // A delta that rebuilds the same file, but not the bytes the manifest names.
  ASSERT_TRUE(MakeDelta(base, target, 3, otherDelta, otherWindow));
  ASSERT_NE(delta, otherDelta);
  ASSERT_TRUE(CompressForServing(target, 19, copy, window));

  server_.SetResource("/d", Hold(delta, c.delta, otherDelta));
  server_.SetResource("/c", Hold(copy, c.copy, copy));
  server_.SetResource("/f", target);
  PackageFileEntry entry = TargetEntry(server_.BaseUrl(), target, copy);
  entry.set_sha256(Sha256HexOfBytes(target));
  FileDelta named = NamedDelta(server_.BaseUrl(), base, "/d", delta);
  named.window_log = window + c.windowLogDelta;
  entry.set_deltas({named});

  const fs::path dir = scratch_.path();
  WriteFile(dir / "installed.dll", c.installed);
  ReleaseTrust trust = ReleaseTrust::Unsigned();
  if (c.keyed) {
    ReleasePublicKey publicKey{};
    ReleaseSecretKey secretKey{};
    ASSERT_TRUE(GenerateReleaseKeyPair(publicKey, secretKey));
    trust = ReleaseTrust::FromKeyText(FormatPublicKey(publicKey));
  }
  RetryPolicy retry;
  retry.pause = [](unsigned) {};

  FetchRoad road = FetchRoad::kFull;
  ASSERT_TRUE(
      FetchByCheapestRoad(entry, NarrowPath(dir / "installed.dll"), NarrowPath(dir / "staged.dll"), trust, retry, road))
      << c.fault;
  EXPECT_EQ(road, c.road) << c.fault;
  EXPECT_EQ(ReadFile(dir / "staged.dll"), target) << c.fault;
  std::vector<std::string> asked;
  for (const test_http::RecordedRequest& request : server_.Requests()) asked.push_back(request.path);
  EXPECT_EQ(asked, c.asked) << c.fault;
  // Only the installed file and the proved one remain.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << c.fault;
}

INSTANTIATE_TEST_SUITE_P(Roads, FetchRoadsTest,
                         ::testing::Values(RoadCase{"a delta not taken for the file it was made from",
                                                    Version(1),
                                                    Served::kAsMade,
                                                    0,
                                                    Served::kAsMade,
                                                    false,
                                                    FetchRoad::kDelta,
                                                    {"/d"}},
                                           RoadCase{"a delta applied to a file changed locally",
                                                    Version(1) + "x",
                                                    Served::kAsMade,
                                                    0,
                                                    Served::kAsMade,
                                                    false,
                                                    FetchRoad::kCompressed,
                                                    {"/c"}},
                                           RoadCase{"a corrupt delta that ends the update",
                                                    Version(1),
                                                    Served::kCorrupt,
                                                    0,
                                                    Served::kAsMade,
                                                    false,
                                                    FetchRoad::kCompressed,
                                                    {"/d", "/d", "/c"}},
                                           RoadCase{"a delta fetched although it needs a window above the cap",
                                                    Version(1),
                                                    Served::kAsMade,
                                                    kMaxWindowLog,
                                                    Served::kAsMade,
                                                    false,
                                                    FetchRoad::kCompressed,
                                                    {"/c"}},
                                           RoadCase{"a truncated copy that ends the update",
                                                    "no base",
                                                    Served::kAsMade,
                                                    0,
                                                    Served::kTruncated,
                                                    false,
                                                    FetchRoad::kFull,
                                                    {"/c", "/c", "/f"}},
                                           RoadCase{"a keyed client decoding a delta the signed manifest does not name",
                                                    Version(1),
                                                    Served::kOtherBytes,
                                                    0,
                                                    Served::kAsMade,
                                                    true,
                                                    FetchRoad::kCompressed,
                                                    {"/d", "/d", "/c"}}));

// Code-like bytes, a table of call targets among instructions; a relink that
// inserts shift bytes early moves every target after it. Patches beat zstd's
// deltas on these by far.
std::string Relinked(std::uint32_t shift) {
  std::string bytes;
  std::uint32_t state = 7;
  for (std::uint32_t i = 0; i < 6000; ++i) {
    state = state * 1103515245u + 12345u;
    const std::uint32_t address = 0x401000 + (state >> 12) % 0x40000 + (i > 300 ? shift : 0);
    bytes += static_cast<char>(0xE8);
    for (int b = 0; b < 4; ++b) bytes += static_cast<char>(address >> (8 * b));
    for (int b = 0; b < 11; ++b) bytes += static_cast<char>((state >> b) ^ (i * 31 + b));
    if (i == 300) bytes += std::string(shift, '\x90');
  }
  return bytes;
}

// How the server and the manifest hold the patch.
enum class PatchServed {
  kAsMade,
  kCorrupt,      // damaged bytes: its own SHA-256 fails
  kNotAPatch,    // bytes the manifest names, but no patch: applying fails
  kOtherTarget,  // a patch the manifest names, of another file: the output's proof fails
};

struct PatchRoadCase {
  const char* fault;
  PatchServed patch;
  FetchRoad road;
  std::vector<std::string> asked;
  bool labelled = false;  // listed under "labelled_patches"
};

class PatchRoadsTest : public ::testing::TestWithParam<PatchRoadCase> {
 protected:
  static void SetUpTestSuite() { test_files::BypassProxies(); }
  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  void TearDown() override { server_.Stop(); }

  test_http::TestHttpServer server_;
  test_files::TempDirectory scratch_{"zq_patch_roads_"};
};

TEST_P(PatchRoadsTest, TheSmallerDeltaGoesFirstAndAnyFailureHandsOver) {
  const PatchRoadCase& c = GetParam();
  const std::string base = Relinked(0), target = Relinked(6);
  std::string delta, patch, otherPatch, copy;
  int window = 0;
  ASSERT_TRUE(MakeDelta(base, target, 19, delta, window));
  ASSERT_TRUE(MakePatch(base, target, 19, patch));
  ASSERT_TRUE(MakePatch(base, Relinked(5), 19, otherPatch));
  ASSERT_TRUE(CompressForServing(target, 19, copy, window));
  ASSERT_LT(patch.size(), delta.size()) << "the pair no longer shows what patches are for";

  std::string served = patch, named = patch;
  if (c.patch == PatchServed::kCorrupt) served[served.size() / 2] ^= 0x40;
  if (c.patch == PatchServed::kNotAPatch) served = named = std::string(patch.size(), 'x');
  if (c.patch == PatchServed::kOtherTarget) served = named = otherPatch;
  server_.SetResource("/p", served);
  server_.SetResource("/d", delta);
  server_.SetResource("/c", copy);
  server_.SetResource("/f", target);

  PackageFileEntry entry = TargetEntry(server_.BaseUrl(), target, copy);
  FileDelta zstd = NamedDelta(server_.BaseUrl(), base, "/d", delta);
  zstd.window_log = window;
  FileDelta namedPatch = NamedDelta(server_.BaseUrl(), base, "/p", named);
  namedPatch.format = c.labelled ? DeltaFormat::kLabelledPatch : DeltaFormat::kPatch;
  // Listed after the larger delta: the order of the manifest is not the order of sizes.
  entry.set_deltas({zstd});
  if (c.labelled) {
    entry.set_labelled_patches({namedPatch});
  } else {
    entry.set_patches({namedPatch});
  }

  const fs::path dir = scratch_.path();
  WriteFile(dir / "installed.dll", base);
  RetryPolicy retry;
  retry.pause = [](unsigned) {};
  FetchRoad road = FetchRoad::kFull;
  ASSERT_TRUE(FetchByCheapestRoad(entry, NarrowPath(dir / "installed.dll"), NarrowPath(dir / "staged.dll"),
                                  ReleaseTrust::Unsigned(), retry, road))
      << c.fault;
  EXPECT_EQ(road, c.road) << c.fault;
  EXPECT_EQ(ReadFile(dir / "staged.dll"), target) << c.fault;
  std::vector<std::string> asked;
  for (const test_http::RecordedRequest& request : server_.Requests()) asked.push_back(request.path);
  EXPECT_EQ(asked, c.asked) << c.fault;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << c.fault << ": leftovers";
}

INSTANTIATE_TEST_SUITE_P(
    Patches, PatchRoadsTest,
    ::testing::Values(
        PatchRoadCase{"the larger zstd delta fetched first", PatchServed::kAsMade, FetchRoad::kPatch, {"/p"}},
        PatchRoadCase{"a damaged patch that ends the update or skips the delta",
                      PatchServed::kCorrupt,
                      FetchRoad::kDelta,
                      {"/p", "/p", "/d"}},
        PatchRoadCase{"a patch that cannot be applied ending the update",
                      PatchServed::kNotAPatch,
                      FetchRoad::kDelta,
                      {"/p", "/d"}},
        PatchRoadCase{"a patch's wrong output staged or ending the update",
                      PatchServed::kOtherTarget,
                      FetchRoad::kDelta,
                      {"/p", "/d"}},
        // The applier takes either version: one of the first stands in for a labelled patch.
        PatchRoadCase{
            "a labelled patch passed over or applied as zstd", PatchServed::kAsMade, FetchRoad::kPatch, {"/p"}, true}));

}  // namespace
