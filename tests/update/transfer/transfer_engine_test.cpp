// What the engine adds to one download alone (resumable_download_test.cpp
// drives that through it): downloads side by side within a connection limit,
// each judged by the digests of its bytes as written, each ending on its own;
// against our own HTTP server on 127.0.0.1.

#include "update/transfer/transfer_engine.h"

#include "tests/server/test_http_server.h"
#include "tests/support/test_files.h"
#include "update/proof/sha256_digest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_files::ReadFile;

// Bytes that differ with the size, so that one file's bytes in another's show.
std::string Body(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 13 + size + i / 777) & 0xff);
  return body;
}

class TransferEngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test_files::BypassProxies(); }
  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  void TearDown() override { server_.Stop(); }

  // Body at /name, answered as the fault tokens say.
  void Serve(const std::string& name, const std::string& body, const std::string& tokens = "ok") {
    server_.SetResource("/" + name, body);
    test_http::ResponsePlan plan;
    ASSERT_TRUE(test_http::ParseFaultTokens(tokens, &plan)) << tokens;
    server_.SetFault("/" + name, plan);
  }
  // /name into a file of that name, proved by the MD5 of expected, retried
  // once at once; its results and digests are recorded.
  EngineDownload Download(const std::string& name, const std::string& expected) {
    EngineDownload download;
    download.url = server_.BaseUrl() + "/" + name;
    download.path = test_files::NarrowPath(File(name));
    download.retry.pausesMs = {10};
    download.prove = [this, name, md5 = test_files::Md5Of(expected)](const std::string&, const FileDigestTexts& seen) {
      digests_[name] = seen;
      return seen.md5 == md5;
    };
    download.done = [this, name](int result) { results_[name].push_back(result); };
    return download;
  }
  fs::path File(const std::string& name) const { return scratch_.path() / name; }
  std::vector<int> StatusesOf(const std::string& name) const {
    std::vector<int> statuses;
    for (const test_http::RecordedRequest& request : server_.Requests()) {
      if (request.path == "/" + name) statuses.push_back(request.status);
    }
    return statuses;
  }

  test_http::TestHttpServer server_;
  test_files::TempDirectory scratch_{"zq_engine_"};
  std::map<std::string, std::vector<int>> results_;
  std::map<std::string, FileDigestTexts> digests_;
};

// Catches a limit of 0 passed on as libcurl's "no limit", a connection per
// file instead of kept-alive ones, one transfer's bytes in another's file, an
// empty answer that leaves no file, and a done called twice or never.
TEST_F(TransferEngineTest, ManyFilesLandWholeWithinTheConnectionLimit) {
  const struct {
    int maxConnections;
    std::size_t most;
  } cases[] = {{0, 1}, {1, 1}, {3, 3}};
  const std::size_t sizes[] = {0, 1, 1000, 70000, 300000, 5, 20000, 123457};
  for (const auto& c : cases) {
    server_.ClearRequests();
    TransferEngine engine(c.maxConnections);
    const std::string prefix = std::to_string(c.maxConnections) + "_";
    for (std::size_t size : sizes) {
      Serve(prefix + std::to_string(size), Body(size));
      engine.Add(Download(prefix + std::to_string(size), Body(size)));
    }
    engine.Run();
    for (std::size_t size : sizes) {
      const std::string name = prefix + std::to_string(size);
      EXPECT_EQ(results_[name], std::vector<int>{0}) << name;
      EXPECT_TRUE(fs::exists(File(name))) << name;
      EXPECT_EQ(ReadFile(File(name)), Body(size)) << name;
    }
    std::set<std::uint64_t> connections;
    for (const test_http::RecordedRequest& request : server_.Requests()) connections.insert(request.connection);
    EXPECT_EQ(server_.RequestCount(), std::size(sizes)) << c.maxConnections;
    EXPECT_LE(connections.size(), c.most) << "at most " << c.maxConnections;
  }
}

// Catches digests of the resumed part alone or with the kept part counted
// twice, and a SHA-256 skipped when asked for or taken when not.
TEST_F(TransferEngineTest, ProveSeesTheDigestsOfEveryByteAsWritten) {
  const struct {
    const char* name;
    std::size_t size;
    const char* fault;
    bool sha256;
    std::vector<int> statuses;
  } cases[] = {
      {"whole.dll", 300000, "ok", true, {200}},
      {"cut.dll", 300001, "close-mid,times=1", true, {200, 206}},
      {"cut_md5.dll", 300002, "close-mid,times=1", false, {200, 206}},
  };
  TransferEngine engine(3);
  for (const auto& c : cases) {
    Serve(c.name, Body(c.size), c.fault);
    EngineDownload download = Download(c.name, Body(c.size));
    download.sha256 = c.sha256;
    engine.Add(std::move(download));
  }
  engine.Run();
  for (const auto& c : cases) {
    EXPECT_EQ(StatusesOf(c.name), c.statuses) << c.name;
    EXPECT_EQ(results_[c.name], std::vector<int>{0}) << c.name;
    EXPECT_EQ(digests_[c.name].md5, test_files::Md5Of(Body(c.size))) << c.name;
    EXPECT_EQ(digests_[c.name].sha256, c.sha256 ? Sha256HexOfBytes(Body(c.size)) : "") << c.name;
  }
}

// Each case but the refused size lays stale bytes at its path first. Catches
// one failure that ends or fails the others, a wrong code, bytes that failed
// left under the path, and a size past every bound asked for all the same.
TEST_F(TransferEngineTest, EachFailureEndsItsOwnDownloadAndLeavesNoFile) {
  const char kProved[] = "the proved bytes";
  const struct {
    const char* name;
    const char* served;
    const char* fault;
    long long namedSize;
    int result;
    std::size_t requests;
  } cases[] = {
      {"good.dll", kProved, "ok", -1, 0, 1},        {"flaky.dll", kProved, "500,times=1", -1, 0, 2},
      {"missing.dll", kProved, "404", -1, 22, 2},   {"forged.dll", "other bytes", "ok", -1, kDownloadNotProved, 2},
      {"cut.dll", kProved, "close-mid", -1, 18, 2}, {"huge.dll", kProved, "ok", kUnnamedSizeCap + 1, 63, 0},
  };
  TransferEngine engine(2);
  for (const auto& c : cases) {
    if (c.namedSize <= kUnnamedSizeCap) test_files::WriteFile(File(c.name), "stale");
    Serve(c.name, c.served, c.fault);
    EngineDownload download = Download(c.name, kProved);
    download.limits = LimitsForSize(c.namedSize);
    engine.Add(std::move(download));
  }
  engine.Run();
  for (const auto& c : cases) {
    EXPECT_EQ(results_[c.name], std::vector<int>{c.result}) << c.name;
    EXPECT_EQ(StatusesOf(c.name).size(), c.requests) << c.name;
    EXPECT_EQ(ReadFile(File(c.name)), c.result == 0 ? kProved : "") << c.name;
    EXPECT_EQ(fs::exists(File(c.name)), c.result == 0) << c.name;
  }
}

// Catches a stale partial file outliving a download refused for its size.
TEST_F(TransferEngineTest, ASizeRefusedBeforeAnyRequestLeavesNoFile) {
  test_files::WriteFile(File("huge.dll"), "stale");
  EngineDownload download = Download("huge.dll", "expected");
  download.limits = LimitsForSize(kUnnamedSizeCap + 1);
  TransferEngine engine(1);
  engine.Add(std::move(download));
  engine.Run();
  EXPECT_EQ(results_["huge.dll"], std::vector<int>{63});
  EXPECT_FALSE(fs::exists(File("huge.dll")));
}

// The cut file waits a minute to retry while the other comes a second late.
// Catches a retry's pause that holds every download up, a done called for a
// cancelled download, and its partial bytes left on disk.
TEST_F(TransferEngineTest, AWaitingRetryHoldsUpNoOtherAndCancelAllEndsIt) {
  Serve("cut.dll", Body(200000), "close-mid");
  Serve("late.dll", Body(200000), "stall-before=1");
  TransferEngine engine(2);
  EngineDownload cut = Download("cut.dll", Body(200000));
  cut.retry.pausesMs = {60000};
  engine.Add(std::move(cut));
  EngineDownload late = Download("late.dll", Body(200000));
  late.done = [&](int result) {
    results_["late.dll"].push_back(result);
    EXPECT_TRUE(fs::exists(File("cut.dll"))) << "the cut file's kept part, before the cancel";
    engine.CancelAll();
  };
  engine.Add(std::move(late));

  const auto started = std::chrono::steady_clock::now();
  engine.Run();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(results_["late.dll"], std::vector<int>{0});
  EXPECT_EQ(ReadFile(File("late.dll")), Body(200000));
  EXPECT_EQ(results_.count("cut.dll"), 0u) << "a cancelled download's done was called";
  EXPECT_FALSE(fs::exists(File("cut.dll")));
  EXPECT_EQ(StatusesOf("cut.dll").size(), 1u);
}

}  // namespace
