// Downloads that survive the network: retries, stall limits and resumption,
// against our own HTTP server on 127.0.0.1 with its one-shot faults.

#include "update/transfer/resumable_download.h"

#include "tests/support/progress_recorder.h"
#include "tests/support/test_files.h"
#include "tests/server/test_http_server.h"
#include "update/proof/md5_checksum.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_files::NarrowPath;
using test_files::ReadFile;

std::string Body(std::size_t size, int seed) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + seed + i / 1000) & 0xff);
  return body;
}

// Catches a resumption of bytes whose version is unknown or that failed their
// proof, a restart that throws away good bytes after a mere cut, a retry
// that offers a proxy the credentials it has just refused, and a server whose
// certificate was refused being asked again and again.
TEST(DecideNextAttempt, ResumesOnlyGoodBytesOfAKnownVersion) {
  const struct {
    const char* what;
    AttemptOutcome outcome;
    NextAttempt next;
  } cases[] = {
      {"proved", {0, 200, true, 100, true}, NextAttempt::kDone},
      {"whole but not proved", {0, 200, false, 100, true}, NextAttempt::kRestart},
      {"cut, version known", {18, 200, false, 50, true}, NextAttempt::kResume},
      {"stalled, version known", {28, 206, false, 70, true}, NextAttempt::kResume},
      {"cut, version unknown", {18, 200, false, 50, false}, NextAttempt::kRestart},
      {"cut before any byte", {18, 200, false, 0, true}, NextAttempt::kRestart},
      {"no connection", {7, 0, false, -1, false}, NextAttempt::kRestart},
      {"server error after a cut", {22, 503, false, 50, true}, NextAttempt::kResume},
      {"range not satisfiable", {22, 416, false, 50, true}, NextAttempt::kRestart},
      {"longer than its size", {63, 200, false, 50, true}, NextAttempt::kRestart},
      {"written short, version known", {23, 200, false, 50, true}, NextAttempt::kRestart},
      {"credentials refused by the proxy", {22, 407, false, -1, false}, NextAttempt::kGiveUp},
      {"credentials refused after a cut", {22, 407, false, 50, true}, NextAttempt::kGiveUp},
      {"certificate refused", {60, 0, false, -1, false}, NextAttempt::kGiveUp},
      {"certificate refused, bytes kept from before", {60, 0, false, 50, true}, NextAttempt::kGiveUp},
  };
  for (const auto& c : cases) EXPECT_EQ(DecideNextAttempt(c.outcome), c.next) << c.what;
}

// Catches a named size that does not bound the bytes, a deadline that rounds
// a partial 10 KiB down, one that overflows libcurl's 32-bit long or its own
// arithmetic near 2^63, and a download of no named size without a least rate.
TEST(LimitsForSize, NamedSizesBoundBytesAndTime) {
  const struct {
    long long size;
    long long maxBytes;
    long deadline;
    long long minRate;
  } cases[] = {
      {-1, kUnnamedSizeCap, 0, 10240},
      {0, 0, 60, 0},
      {1, 1, 61, 0},
      {10240, 10240, 61, 0},
      {10241, 10241, 62, 0},
      {1LL << 62, 1LL << 62, 30L * 24 * 3600, 0},
      {LLONG_MAX, LLONG_MAX, 30L * 24 * 3600, 0},
  };
  for (const auto& c : cases) {
    const DownloadLimits limits = LimitsForSize(c.size);
    EXPECT_EQ(limits.maxBytes, c.maxBytes) << c.size;
    EXPECT_EQ(limits.deadlineSeconds, c.deadline) << c.size;
    EXPECT_EQ(limits.minBytesPerSecond, c.minRate) << c.size;
  }
}

TEST(StallSecondsFromSetting, TakesWholeSecondsWithinBounds) {
  const struct {
    const char* text;
    long seconds;
  } cases[] = {
      {"", 30},  {"30", 30}, {"1", 1},    {" 5\t", 5}, {"3600", 3600}, {"3601", 30},
      {"0", 30}, {"-5", 30}, {"2.5", 30}, {"abc", 30}, {"99999", 30},  {"007", 7},
  };
  for (const auto& c : cases) EXPECT_EQ(StallSecondsFromSetting(c.text), c.seconds) << c.text;
}

class ResumableDownloadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test_files::BypassProxies(); }
  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  void TearDown() override { server_.Stop(); }

  RetryPolicy Policy() {
    RetryPolicy policy;
    policy.pause = [this](unsigned ms) {
      pauses_.push_back(ms);
      if (betweenAttempts_) betweenAttempts_();
    };
    return policy;
  }

  int Fetch(const std::string& path, const std::string& expected, ProgressWindow bar = nullptr,
            RetryPolicy policy = RetryPolicy()) {
    if (!policy.pause) policy = Policy();
    const std::string digest = test_files::Md5Of(expected);
    return DownloadUntilProved(server_.BaseUrl() + path, NarrowPath(file_), bar, policy, limits_,
                               [&](const std::string& file) { return CMD5Checksum::HashFile(file) == digest; });
  }

  void Fault(const std::string& path, const std::string& tokens) {
    test_http::ResponsePlan plan;
    ASSERT_TRUE(test_http::ParseFaultTokens(tokens, &plan)) << tokens;
    server_.SetFault(path, plan);
  }

  test_http::TestHttpServer server_;
  test_files::TempDirectory scratch_{"zq_resume_"};
  const fs::path file_ = scratch_.path() / "a.dll.zqdownload";
  std::vector<unsigned> pauses_;
  std::function<void()> betweenAttempts_;
  DownloadLimits limits_ = LimitsForSize(-1);
};

// Catches a retry that fetches again what is on disk, a Range without the
// version it continues, and a resumed file that is not the whole file.
TEST_F(ResumableDownloadTest, ACutTransferResumesWhereItStopped) {
  const std::string body = Body(300000, 1);
  server_.SetResource("/a.dll", body);
  Fault("/a.dll", "close-mid,times=1");

  EXPECT_EQ(Fetch("/a.dll", body), 0);
  EXPECT_EQ(ReadFile(file_), body);
  const std::vector<test_http::RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].HasHeader("Range"));
  EXPECT_EQ(requests[1].Header("Range"), "bytes=" + std::to_string(body.size() / 2) + "-");
  EXPECT_FALSE(requests[1].Header("If-Range").empty());
  EXPECT_EQ(requests[1].status, 206);
  EXPECT_EQ(pauses_, std::vector<unsigned>{1000});
}

// Each case leaves bytes on disk that must not be continued. Catches a server
// without ranges or a changed file joined onto old bytes, and a whole file
// that failed its proof retried from where it ended.
TEST_F(ResumableDownloadTest, BytesThatCannotBeContinuedStartAgainFromZero) {
  const std::string body = Body(200000, 2);
  const std::string changed = Body(210000, 3);

  server_.SetResource("/plain.dll", body);
  Fault("/plain.dll", "close-mid,times=1,no-ranges");
  EXPECT_EQ(Fetch("/plain.dll", body), 0) << "a server that ignores Range";
  EXPECT_EQ(ReadFile(file_), body);
  EXPECT_EQ(server_.Requests().back().status, 200);

  server_.ClearRequests();
  server_.SetResource("/moved.dll", body);
  Fault("/moved.dll", "close-mid,times=1");
  betweenAttempts_ = [&] { server_.SetResource("/moved.dll", changed); };
  EXPECT_EQ(Fetch("/moved.dll", changed), 0) << "the file changed between the attempts";
  EXPECT_EQ(ReadFile(file_), changed);
  EXPECT_EQ(server_.Requests().back().status, 200) << "If-Range no longer matches";
  betweenAttempts_ = nullptr;

  server_.ClearRequests();
  int proofs = 0;
  server_.SetResource("/b.dll", body);
  RetryPolicy policy = Policy();
  const int result = DownloadUntilProved(server_.BaseUrl() + "/b.dll", NarrowPath(file_), nullptr, policy, limits_,
                                         [&](const std::string&) { return ++proofs > 1; });
  EXPECT_EQ(result, 0) << "proved at the second whole download";
  ASSERT_EQ(server_.RequestCount(), 2u);
  EXPECT_FALSE(server_.Requests()[1].HasHeader("Range")) << "a file that failed its proof is fetched anew";
}

// Catches a stalled transfer that holds the worker until the server gives up,
// and a retry after the stall that starts from zero.
TEST_F(ResumableDownloadTest, AStalledTransferIsCutOffAndResumed) {
  const std::string body = Body(100000, 4);
  server_.SetResource("/slow.dll", body);
  Fault("/slow.dll", "stall-mid=40,times=1");
  RetryPolicy policy = Policy();
  policy.stallSeconds = 1;

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Fetch("/slow.dll", body, nullptr, policy), 0);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
  EXPECT_LT(seconds, 20) << "the stall limit did not cut the transfer off";
  EXPECT_EQ(ReadFile(file_), body);
  ASSERT_EQ(server_.RequestCount(), 2u);
  EXPECT_EQ(server_.Requests()[1].status, 206);
}

// Catches a give-up before the last retry, a partial file left behind, and a
// failure reported with the wrong code.
TEST_F(ResumableDownloadTest, AFileThatNeverArrivesIsTriedFourTimesAndRemoved) {
  const std::string body = Body(50000, 5);
  server_.SetResource("/cut.dll", body);
  Fault("/cut.dll", "close-mid");
  EXPECT_EQ(Fetch("/cut.dll", body), 18);
  EXPECT_EQ(server_.RequestCount(), 4u);
  EXPECT_EQ(pauses_, (std::vector<unsigned>{1000, 4000, 16000}));
  EXPECT_FALSE(fs::exists(file_));

  server_.ClearRequests();
  Fault("/flaky.dll", "500,times=2");
  server_.SetResource("/flaky.dll", body);
  EXPECT_EQ(Fetch("/flaky.dll", body), 0) << "two server errors, then the file";
  EXPECT_EQ(server_.RequestCount(), 3u);
  EXPECT_EQ(ReadFile(file_), body);
}

// Catches a bar that falls back to the part's own size when a transfer
// resumes, and one that never reaches the whole file.
TEST_F(ResumableDownloadTest, TheBarCountsTheWholeFileAcrossAResume) {
  ProgressRecording recording;
  const std::string body = Body(400000, 6);
  server_.SetResource("/setup.exe", body);
  Fault("/setup.exe", "close-mid,times=1");
  int bar = 0;
  EXPECT_EQ(Fetch("/setup.exe", body, &bar), 0);
  const std::vector<ProgressMessage>& progress = RecordedProgress();
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress[progress.size() - 2].lParam, static_cast<std::intptr_t>(body.size())) << "range";
  EXPECT_EQ(progress.back().wParam, body.size()) << "position";
  for (std::size_t i = 0; i < progress.size(); i += 2) {
    EXPECT_TRUE(progress[i].lParam == 0 || progress[i].lParam == static_cast<std::intptr_t>(body.size()))
        << "every known range is the whole file: " << progress[i].lParam;
  }
}

// Catches a body that never ends filling the disk: no attempt writes past the
// size the manifest names, and the file is gone afterwards.
TEST_F(ResumableDownloadTest, ABodyThatNeverEndsStopsAtItsNamedSize) {
  const std::string body = Body(50000, 5);
  server_.SetResource("/endless.dll", body);
  Fault("/endless.dll", "endless");
  limits_ = LimitsForSize(static_cast<long long>(body.size()));
  std::vector<long long> sizes;
  betweenAttempts_ = [&] { sizes.push_back(static_cast<long long>(fs::file_size(file_))); };

  EXPECT_EQ(Fetch("/endless.dll", body), 63);
  EXPECT_EQ(sizes, std::vector<long long>(3, static_cast<long long>(body.size())));
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_EQ(server_.RequestCount(), 4u);
  for (const test_http::RecordedRequest& request : server_.Requests()) EXPECT_FALSE(request.HasHeader("Range"));
}

// Catches a server that drips a byte a second, which no stall limit cuts,
// holding the worker beyond the deadline: no attempt runs or starts past it.
TEST_F(ResumableDownloadTest, ADripIsCutAtTheDeadline) {
  server_.SetResource("/drip.dll", Body(1000, 6));
  Fault("/drip.dll", "drip=0.2");
  RetryPolicy policy = Policy();
  // Past the deadline, so that a drip slowed by a busy machine is not cut
  // as a stall first and tried again.
  policy.stallSeconds = 10;
  limits_ = DownloadLimits{1000, 2};

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Fetch("/drip.dll", Body(1000, 6), nullptr, policy), 28);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_LT(seconds, 4.5);
  EXPECT_EQ(server_.RequestCount(), 1u) << "the pause after the cut reaches past the deadline";
  EXPECT_FALSE(fs::exists(file_));
}

// Catches a server that trickles bytes to a download of no named size, which
// no stall limit and no deadline cuts: it ends once behind the least rate.
TEST_F(ResumableDownloadTest, ADripOfNoNamedSizeIsCutBehindTheLeastRate) {
  server_.SetResource("/drip.dll", Body(1000, 7));
  Fault("/drip.dll", "drip=0.2");
  RetryPolicy policy = Policy();
  policy.stallSeconds = 10;
  limits_ = DownloadLimits{kUnnamedSizeCap, 0, 1000, 1};

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Fetch("/drip.dll", Body(1000, 7), nullptr, policy), 28);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 30.0)
      << "the whole body would take 200 s";
  EXPECT_EQ(server_.RequestCount(), 1u);
  EXPECT_FALSE(fs::exists(file_));
}

// Catches a named size past every bound lifting the cap on what is written.
TEST_F(ResumableDownloadTest, ASizePastTheCapIsRefusedBeforeAnyRequest) {
  server_.SetResource("/huge.dll", Body(100, 8));
  limits_ = LimitsForSize(kUnnamedSizeCap + 1);
  EXPECT_EQ(Fetch("/huge.dll", Body(100, 8)), 63);
  EXPECT_EQ(server_.RequestCount(), 0u);
}

}  // namespace
