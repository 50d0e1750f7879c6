// HttpTransfer against our own HTTP server on 127.0.0.1, with real files.
// Progress messages are observed through a recorder in place of SendMessageW.

#include "update/transfer/http_transfer.h"

#include "tests/support/progress_recorder.h"
#include "tests/support/test_files.h"
#include "tests/server/test_http_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_files::BypassProxies;
using test_files::NarrowPath;
using test_files::ReadFile;
using test_files::WriteFile;
using test_http::TestHttpServer;

constexpr int kOk = 0;
constexpr int kUnsupportedProtocol = 1;
constexpr int kCouldNotResolveHost = 6;
constexpr int kCouldNotConnect = 7;
constexpr int kPartialFile = 18;
constexpr int kHttpReturnedError = 22;
constexpr int kWriteError = 23;
constexpr int kTimedOut = 28;
constexpr std::size_t kWriteFailed = static_cast<std::size_t>(-1);

// Every byte value, CR LF and Ctrl-Z included, so text-mode writes show.
std::string Bytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
  return bytes;
}

// True while this process still holds the file open.
bool IsHeldOpen(const fs::path& path) {
#ifdef _WIN32
  // Windows (and Wine) refuse to rename a file that a stream holds open.
  fs::path moved = path;
  moved += ".moved";
  std::error_code error;
  fs::rename(path, moved, error);
  if (error) return true;
  fs::rename(moved, path, error);
  return false;
#else
  const fs::path wanted = fs::absolute(path);
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) == wanted) return true;
  }
  return false;
#endif
}

using DownloadOperation = int (HttpTransfer::*)(const std::string&, DownloadTarget&);
struct NamedDownload {
  const char* name;
  DownloadOperation run;
};
const NamedDownload kDownloads[] = {
    {"Download", &HttpTransfer::Download},
    {"DownloadWithProgress", &HttpTransfer::DownloadWithProgress},
};

class HttpTransferTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BypassProxies(); }

  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  void TearDown() override { server_.Stop(); }

  std::string Url(const std::string& path) const { return server_.BaseUrl() + path; }

  // Runs one download into path and checks that the record's file is closed
  // and cleared whatever the result.
  int RunDownload(const NamedDownload& download, const std::string& url, const fs::path& path, int showProgress = 0,
                  ProgressWindow window = nullptr) {
    HttpTransfer http;
    http.progressWindow = window;
    const std::string fileName = NarrowPath(path);
    DownloadTarget target;
    target.fileName = fileName.c_str();
    target.showProgress = showProgress;
    const int result = (http.*download.run)(url, target);
    EXPECT_EQ(target.file.get(), nullptr) << download.name << " " << url;
    if (fs::exists(path)) {
      EXPECT_FALSE(IsHeldOpen(path)) << download.name << " " << url;
    }
    return result;
  }

  TestHttpServer server_;
  test_files::TempDirectory scratch_{"zq_http_test_"};
  const fs::path dir_ = scratch_.path();
  ProgressRecording progress_;
};

// Catches a user agent on the wrong requests, a lost query, or a method other than GET.
TEST_F(HttpTransferTest, OnlyTheManifestRequestCarriesTheUserAgent) {
  const std::string manifest = "{\"version\":\"12\"}";
  server_.SetResource("/soft/package.json", manifest);
  server_.SetResource("/files/a.dll", Bytes(1000));

  HttpTransfer http;
  EXPECT_FALSE(http.debug);
  std::string body;
  EXPECT_EQ(http.FetchToMemory(Url("/soft/package.json?r=123456"), body), kOk);
  EXPECT_EQ(body, manifest);
  for (const NamedDownload& download : kDownloads) {
    EXPECT_EQ(RunDownload(download, Url("/files/a.dll"), dir_ / download.name), kOk) << download.name;
  }

  const std::vector<test_http::RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/soft/package.json");
  EXPECT_EQ(requests[0].query, "r=123456");
  EXPECT_EQ(requests[0].Header("User-Agent"), "KVT Updater/1.0");
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].method, "GET");
    EXPECT_EQ(requests[i].path, "/files/a.dll");
    EXPECT_FALSE(requests[i].HasHeader("User-Agent")) << requests[i].Header("User-Agent");
  }
}

// Catches FetchToMemory failing on (or following) an answer the parser will
// judge, and a body replaced instead of appended to.
TEST_F(HttpTransferTest, FetchToMemoryAppendsAnyAnswerAndSucceeds) {
  server_.SetResource("/soft/package.json", "{}");
  const struct {
    const char* path;
    std::string page;
  } cases[] = {
      {"/fault/404/soft/package.json", test_http::StatusPageBody(404)},
      {"/fault/500/soft/package.json", test_http::StatusPageBody(500)},
      {"/missing.json", test_http::StatusPageBody(404)},
      {"/fault/redirect/soft/package.json", test_http::RedirectBody("/soft/package.json")},
  };
  for (const auto& c : cases) {
    server_.ClearRequests();
    HttpTransfer http;
    std::string body = "kept|";
    EXPECT_EQ(http.FetchToMemory(Url(c.path), body), kOk) << c.path;
    EXPECT_EQ(body, "kept|" + c.page) << c.path;
    EXPECT_EQ(server_.RequestCount(), 1u) << c.path << ": a redirect must not be followed";
  }
}

// Catches a missing or too long time-out on a server that never answers.
TEST_F(HttpTransferTest, FetchToMemoryGivesUpAfterThreeSecondsWithoutAnAnswer) {
  server_.SetResource("/soft/package.json", "{}");
  HttpTransfer http;
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(http.FetchToMemory(Url("/fault/stall-before=30/soft/package.json"), body), kTimedOut);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(body, "");
  EXPECT_GE(seconds, 2.5);
  EXPECT_LE(seconds, 15.0);
}

// Catches a time-out that only covers the connection, and a body thrown away on failure.
TEST_F(HttpTransferTest, FetchToMemoryKeepsWhatArrivedWhenTheBodyStalls) {
  const std::string manifest = Bytes(2000);
  server_.SetResource("/soft/package.json", manifest);
  HttpTransfer http;
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(http.FetchToMemory(Url("/fault/stall-mid=30/soft/package.json"), body), kTimedOut);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(body, manifest.substr(0, 1000));
  EXPECT_GE(seconds, 2.5);
  EXPECT_LE(seconds, 15.0);
}

// Catches a manifest or signature fetch that takes whatever a hostile server
// sends into memory, and part of an oversized answer handed on as if whole.
TEST_F(HttpTransferTest, FetchToMemoryRefusesABodyOverItsCap) {
  server_.SetResource("/soft/package.json", Bytes(5000));
  const struct {
    const char* path;
    std::size_t cap;
  } cases[] = {
      {"/fault/endless/soft/package.json", kMaxManifestBytes},
      {"/fault/endless,chunked/soft/package.json.sig", kMaxSignatureBytes},
      {"/soft/package.json", 4999},
  };
  for (const auto& c : cases) {
    HttpTransfer http;
    std::string body = "kept|";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http.FetchToMemory(Url(c.path), body, c.cap), 63) << c.path;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(body, "kept|") << c.path;
    EXPECT_LT(seconds, 2.5) << c.path << ": ended by the cap, not the time-out";
  }
  std::string whole;
  EXPECT_EQ(HttpTransfer().FetchToMemory(Url("/soft/package.json"), whole, 5000), kOk) << "the cap itself fits";
}

// Catches text-mode writes, a file not truncated over a longer older one, and
// a body cut short.
TEST_F(HttpTransferTest, DownloadsWriteExactlyTheBodyBytes) {
  const std::string bytes = Bytes(300000);
  server_.SetResource("/files/a.dll", bytes);
  for (const NamedDownload& download : kDownloads) {
    const fs::path fresh = dir_ / (std::string(download.name) + ".fresh");
    EXPECT_EQ(RunDownload(download, Url("/files/a.dll"), fresh), kOk) << download.name;
    EXPECT_TRUE(ReadFile(fresh) == bytes) << download.name;

    const fs::path older = dir_ / (std::string(download.name) + ".older");
    WriteFile(older, std::string(400000, 'x'));
    EXPECT_EQ(RunDownload(download, Url("/fault/chunked/files/a.dll"), older), kOk) << download.name;
    EXPECT_TRUE(ReadFile(older) == bytes) << download.name;
  }
}

// Catches a file created (or an older one truncated) before any byte arrived.
TEST_F(HttpTransferTest, EmptyBodyCreatesNoFile) {
  server_.SetResource("/files/a.dll", Bytes(100));
  const char* paths[] = {"/fault/empty/files/a.dll", "/fault/empty,chunked/files/a.dll", "/fault/204/files/a.dll"};
  for (const NamedDownload& download : kDownloads) {
    for (const char* path : paths) {
      const fs::path fresh = dir_ / "fresh.dll";
      EXPECT_EQ(RunDownload(download, Url(path), fresh), kOk) << download.name << " " << path;
      EXPECT_FALSE(fs::exists(fresh)) << download.name << " " << path;

      const fs::path older = dir_ / "older.dll";
      WriteFile(older, "older file");
      EXPECT_EQ(RunDownload(download, Url(path), older), kOk) << download.name << " " << path;
      EXPECT_EQ(ReadFile(older), "older file") << download.name << " " << path;
    }
  }
}

// Catches an error page or a redirect saved as the file (and, for the
// installer, started), an older file truncated by one, and a followed redirect.
TEST_F(HttpTransferTest, DownloadsAcceptOnlySuccessStatuses) {
  server_.SetResource("/files/a.dll", Bytes(100));
  const char* paths[] = {"/fault/404/files/a.dll", "/fault/500/files/a.dll", "/fault/redirect/files/a.dll",
                         "/fault/403,empty/files/a.dll", "/files/missing.dll"};
  for (const NamedDownload& download : kDownloads) {
    for (const char* path : paths) {
      const fs::path fresh = dir_ / "fresh.dll";
      EXPECT_EQ(RunDownload(download, Url(path), fresh, 1), kHttpReturnedError) << download.name << " " << path;
      EXPECT_FALSE(fs::exists(fresh)) << download.name << " " << path;

      const fs::path older = dir_ / "older.dll";
      WriteFile(older, "older file");
      EXPECT_EQ(RunDownload(download, Url(path), older), kHttpReturnedError) << download.name << " " << path;
      EXPECT_EQ(ReadFile(older), "older file") << download.name << " " << path;
    }
  }
  for (const test_http::RecordedRequest& request : server_.Requests()) {
    EXPECT_NE(request.path, "/files/a.dll") << "the redirect was followed";
  }
}

// Catches a write error reported as success or a file created in the wrong place.
TEST_F(HttpTransferTest, MissingDirectoryGivesWriteErrorAndNoFile) {
  server_.SetResource("/files/a.dll", Bytes(100));
  for (const NamedDownload& download : kDownloads) {
    EXPECT_EQ(RunDownload(download, Url("/files/a.dll"), dir_ / "no-such-dir" / "a.dll"), kWriteError) << download.name;
    EXPECT_FALSE(fs::exists(dir_ / "no-such-dir")) << download.name;
  }
}

// Catches a broken-off transfer reported as success and a file left open.
// The bytes received stay in the file: a later MD5 check rejects it.
TEST_F(HttpTransferTest, ConnectionClosedHalfWayFailsAndClosesTheFile) {
  const std::string bytes = Bytes(100000);
  server_.SetResource("/files/a.dll", bytes);
  for (const NamedDownload& download : kDownloads) {
    const fs::path path = dir_ / download.name;
    EXPECT_EQ(RunDownload(download, Url("/fault/close-mid/files/a.dll"), path), kPartialFile) << download.name;
    EXPECT_TRUE(ReadFile(path) == bytes.substr(0, 50000)) << download.name;
  }
}

// Catches crashes or success on hosts that cannot be reached, and non-HTTP
// URLs slipping past the status check.
TEST_F(HttpTransferTest, UnreachableOrForeignUrlsGiveDefinedErrors) {
  TestHttpServer closed;
  ASSERT_TRUE(closed.Start());
  const std::string closedUrl = closed.BaseUrl() + "/files/a.dll";
  closed.Stop();
  const fs::path local = dir_ / "local.dll";
  WriteFile(local, "local file");
  const std::string fileUrl = "file://" + fs::absolute(local).generic_string();

  // What FetchToMemory makes of other protocols depends on which ones the
  // build of libcurl has (ours for Windows has HTTP only).
  constexpr int kDependsOnBuild = -1;
  const struct {
    std::string url;
    int fetchResult;
    int downloadResult;
  } cases[] = {
      {closedUrl, kCouldNotConnect, kCouldNotConnect},
      {"http://update.zenquilo.invalid/files/a.dll", kCouldNotResolveHost, kCouldNotResolveHost},
      {"ftp://127.0.0.1:1/files/a.dll", kDependsOnBuild, kUnsupportedProtocol},
      {fileUrl, kDependsOnBuild, kUnsupportedProtocol},
  };
  for (const auto& c : cases) {
    HttpTransfer http;
    std::string body;
    const int fetched = http.FetchToMemory(c.url, body);
    if (c.fetchResult != kDependsOnBuild) {
      EXPECT_EQ(fetched, c.fetchResult) << c.url;
    }
    for (const NamedDownload& download : kDownloads) {
      const fs::path path = dir_ / "a.dll";
      EXPECT_EQ(RunDownload(download, c.url, path, 1), c.downloadResult) << download.name << " " << c.url;
      EXPECT_FALSE(fs::exists(path)) << download.name << " " << c.url;
    }
  }
}

// Catches a range that never becomes the size, one that is sent late or
// without its position, positions that go backwards or stop short, and the
// wrong window or message numbers.
TEST_F(HttpTransferTest, ProgressBarGoesFromUnknownSizeToEveryByte) {
  const std::size_t size = 200000;
  server_.SetResource("/setup.exe", Bytes(size));
  ProgressWindow bar = reinterpret_cast<ProgressWindow>(static_cast<std::uintptr_t>(0x5a5a));
  // Headers late, so the size is unknown for a while; the body in pieces, so
  // positions between 0 and the size are seen.
  const std::string url = Url("/fault/stall-before=1.5,pieces=4,piece-delay=0.3/setup.exe");
  ASSERT_EQ(RunDownload(kDownloads[1], url, dir_ / "setup.exe", 1, bar), kOk);

  const std::vector<ProgressMessage>& progress = RecordedProgress();
  ASSERT_GE(progress.size(), 2u);
  ASSERT_EQ(progress.size() % 2, 0u);
  bool sizeKnown = false;
  bool sawUnknownSize = false;
  bool sawPartWay = false;
  std::uintptr_t lastPosition = 0;
  for (std::size_t i = 0; i < progress.size(); i += 2) {
    const ProgressMessage& range = progress[i];
    const ProgressMessage& position = progress[i + 1];
    ASSERT_EQ(range.window, bar);
    ASSERT_EQ(position.window, bar);
    ASSERT_EQ(range.message, kProgressSetRange32) << "message " << i;
    ASSERT_EQ(range.wParam, 0u);
    ASSERT_EQ(position.message, kProgressSetPos) << "message " << i + 1;
    ASSERT_EQ(position.lParam, 0);
    if (range.lParam == 0) {
      ASSERT_FALSE(sizeKnown) << "the range fell back to 0 at message " << i;
      ASSERT_EQ(position.wParam, 0u);
      sawUnknownSize = true;
    } else {
      ASSERT_EQ(range.lParam, static_cast<std::intptr_t>(size)) << "message " << i;
      sizeKnown = true;
    }
    ASSERT_GE(position.wParam, lastPosition) << "message " << i + 1;
    ASSERT_LE(position.wParam, size);
    sawPartWay = sawPartWay || (position.wParam > 0 && position.wParam < size);
    lastPosition = position.wParam;
  }
  EXPECT_TRUE(sawUnknownSize);
  EXPECT_TRUE(sizeKnown);
  EXPECT_TRUE(sawPartWay);
  EXPECT_EQ(lastPosition, size);
}

// Catches progress reaching the bar when nobody asked for it: Download with
// showProgress 1 only turns on libcurl's own meter.
TEST_F(HttpTransferTest, NoProgressMessagesUnlessAskedThroughDownloadWithProgress) {
  const std::string bytes = Bytes(50000);
  server_.SetResource("/files/a.dll", bytes);
  const struct {
    const NamedDownload& download;
    int showProgress;
  } cases[] = {{kDownloads[1], 0}, {kDownloads[1], 2}, {kDownloads[0], 0}, {kDownloads[0], 1}};
  for (const auto& c : cases) {
    ClearRecordedProgress();
    const fs::path path = dir_ / "a.dll";
    ProgressWindow bar = reinterpret_cast<ProgressWindow>(static_cast<std::uintptr_t>(0x5a5a));
    EXPECT_EQ(RunDownload(c.download, Url("/fault/pieces=3,piece-delay=0.1/files/a.dll"), path, c.showProgress, bar),
              kOk);
    EXPECT_TRUE(ReadFile(path) == bytes);
    EXPECT_TRUE(RecordedProgress().empty()) << c.download.name << " showProgress " << c.showProgress;
  }
}

// Catches tracing that is on without debug, or that prints the wrong blocks.
TEST_F(HttpTransferTest, DebugTracesTheExchangeToStandardOutput) {
  server_.SetResource("/soft/package.json", "{\"version\":\"12\"}");
  HttpTransfer quiet;
  std::string body;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(quiet.FetchToMemory(Url("/soft/package.json"), body), kOk);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  HttpTransfer traced;
  traced.debug = true;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(traced.FetchToMemory(Url("/soft/package.json"), body), kOk);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[HEADER_OUT]GET /soft/package.json HTTP/1.1\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[HEADER_IN]HTTP/1.1 200 OK\r\n\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[DATA_IN]{\"version\":\"12\"}\n"), std::string::npos) << out;
}

#ifdef _WIN32
// Catches a narrow name passed to the ANSI fopen, which garbles Chinese names
// unless the system's code page happens to be 936.
TEST_F(HttpTransferTest, DownloadWritesCodePage936FileNames) {
  const std::string bytes = Bytes(1000);
  server_.SetResource("/files/a.dll", bytes);
  const std::string fileName = NarrowPath(dir_) + "\\\xD6\xD0\xCE\xC4.dll";  // 中文.dll
  HttpTransfer http;
  DownloadTarget target;
  target.fileName = fileName.c_str();
  EXPECT_EQ(http.Download(Url("/files/a.dll"), target), kOk);
  EXPECT_TRUE(ReadFile(dir_ / L"\u4e2d\u6587.dll") == bytes);
}
#endif

// The callbacks on their own, for what a server cannot provoke.

// Catches a crash on null pointers and a wrong count handed back to libcurl.
TEST(HttpTransferCallbacks, AppendToBodyRefusesNullsAndCountsItems) {
  char data[] = "abc";
  std::string body = "x";
  EXPECT_EQ(HttpTransfer::AppendToBody(data, 1, 3, &body), 3u);
  EXPECT_EQ(body, "xabc");
  EXPECT_EQ(HttpTransfer::AppendToBody(data, 1, 3, nullptr), kWriteFailed);
  EXPECT_EQ(HttpTransfer::AppendToBody(nullptr, 1, 3, &body), kWriteFailed);
  EXPECT_EQ(body, "xabc");
}

// Catches an empty delivery creating the file, and a crash on a record without a name.
TEST(HttpTransferCallbacks, WriteToTargetFileOpensOnlyForBytes) {
  const fs::path path = fs::temp_directory_path() / "zq_http_callback_test.bin";
  fs::remove(path);
  const std::string fileName = NarrowPath(path);
  DownloadTarget target;
  target.fileName = fileName.c_str();
  char data[] = "abc";
  EXPECT_EQ(HttpTransfer::WriteToTargetFile(data, 1, 0, &target), 0u);
  EXPECT_EQ(target.file.get(), nullptr);
  EXPECT_FALSE(fs::exists(path));

  DownloadTarget unnamed;
  EXPECT_EQ(HttpTransfer::WriteToTargetFile(data, 1, 3, &unnamed), kWriteFailed);
  EXPECT_EQ(HttpTransfer::WriteToTargetFile(data, 1, 3, nullptr), kWriteFailed);
}

// Catches counts converted with undefined behaviour (UBSan) or rounded
// instead of truncated, and messages sent without a window to send them to.
TEST(HttpTransferCallbacks, ReportProgressTruncatesCountsToInt32) {
  const ProgressMessageSender previous = SetProgressMessageSender(&RecordProgressMessage);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double total, now;
    std::intptr_t range;
    std::uintptr_t position;
  } cases[] = {
      {0, 0, 0, 0},
      {1234.9, 99.99, 1234, 99},
      {2147483647.0, 2147483646.5, INT32_MAX, 2147483646u},
      {3e9, 5e18, INT32_MAX, static_cast<std::uintptr_t>(INT32_MAX)},
      {nan, nan, 0, 0},
  };
  DownloadProgress bar;
  bar.window = reinterpret_cast<ProgressWindow>(static_cast<std::uintptr_t>(0x77));
  for (const auto& c : cases) {
    ClearRecordedProgress();
    EXPECT_EQ(HttpTransfer::ReportProgress(&bar, c.total, c.now, 0, 0), 0);
    ASSERT_EQ(RecordedProgress().size(), 2u);
    EXPECT_EQ(RecordedProgress()[0].lParam, c.range) << c.total;
    EXPECT_EQ(RecordedProgress()[1].wParam, c.position) << c.now;
  }
  ClearRecordedProgress();
  EXPECT_EQ(HttpTransfer::ReportProgress(nullptr, 10, 5, 0, 0), 0);
  SetProgressMessageSender(nullptr);
  EXPECT_EQ(HttpTransfer::ReportProgress(&bar, 10, 5, 0, 0), 0);
  EXPECT_TRUE(RecordedProgress().empty());
  SetProgressMessageSender(previous);
}

// Catches reads past a block (which is not zero-terminated) and lines for
// the informational types.
TEST(HttpTransferCallbacks, TraceTransferPrintsExactlyTheBlock) {
  char buffer[] = "abcXYZ";
  const std::size_t blockSize = 3;
  const struct {
    curl_infotype type;
    const char* line;
  } cases[] = {
      {CURLINFO_HEADER_IN, "[HEADER_IN]abc\n"},
      {CURLINFO_HEADER_OUT, "[HEADER_OUT]abc\n"},
      {CURLINFO_DATA_IN, "[DATA_IN]abc\n"},
      {CURLINFO_DATA_OUT, "[DATA_OUT]abc\n"},
      {CURLINFO_TEXT, ""},
      {CURLINFO_SSL_DATA_IN, ""},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(HttpTransfer::TraceTransfer(nullptr, c.type, buffer, blockSize, nullptr), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.line);
  }
}

}  // namespace
