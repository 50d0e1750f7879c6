// Every request of HttpTransfer takes the proxy the route gives it, with our
// test server standing in for a proxy (it serves absolute-form requests by
// their whole target), and an unreachable proxy falls back to the direct
// connection.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/server/test_http_server.h"
#include "tests/support/test_files.h"
#include "update/transfer/http_transfer.h"
#include "update/transfer/proxy_route.h"
#include "update/transfer/resumable_download.h"

namespace {

namespace fs = std::filesystem;
using test_http::TestHttpServer;

constexpr int kOk = 0;
constexpr int kCouldNotConnect = 7;
constexpr int kHttpError = 22;
// A host no resolver knows: a request for it can only arrive through a proxy.
const std::string kFarUrl = "http://update.invalid/soft/package.json";

// A port that was free a moment ago, so that nothing listens on it.
int ClosedPort() {
  TestHttpServer server;
  EXPECT_TRUE(server.Start());
  const int port = server.port();
  server.Stop();
  return port;
}

void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

class ProxyTransferTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test_files::BypassProxies(); }
  void SetUp() override {
    ASSERT_TRUE(proxy_.Start());
    ASSERT_TRUE(server_.Start());
  }
  void TearDown() override {
    SetProxyOverride("");
    server_.Stop();
    proxy_.Stop();
  }

  std::string ProxyAddress() const { return "127.0.0.1:" + std::to_string(proxy_.port()); }

  TestHttpServer proxy_;
  TestHttpServer server_;
  test_files::TempDirectory scratch_{"zq_proxy_test_"};
};

// Catches a manifest, signature or download that ignores the proxy.
TEST_F(ProxyTransferTest, EveryKindOfRequestGoesThroughTheProxy) {
  proxy_.SetResource(kFarUrl, "{\"version\":\"2\"}");
  proxy_.SetResource("http://update.invalid/files/a.dll", "file bytes");
  SetProxyOverride(ProxyAddress());

  std::string body;
  EXPECT_EQ(HttpTransfer().FetchToMemory(kFarUrl + "?r=1", body), kOk);
  EXPECT_EQ(body, "{\"version\":\"2\"}");
  const fs::path file = scratch_.path() / "a.dll";
  const std::string fileName = test_files::NarrowPath(file);
  DownloadTarget target;
  target.fileName = fileName.c_str();
  EXPECT_EQ(HttpTransfer().Download("http://update.invalid/files/a.dll", target), kOk);
  EXPECT_EQ(test_files::ReadFile(file), "file bytes");

  const std::vector<test_http::RecordedRequest> requests = proxy_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, kFarUrl + "?r=1");
  EXPECT_EQ(requests[0].Header("User-Agent"), "KVT Updater/1.0");
  EXPECT_EQ(requests[1].target, "http://update.invalid/files/a.dll");
  EXPECT_EQ(server_.RequestCount(), 0u);
}

// Catches an unreachable proxy ending the check, or the fallback costing the
// manifest its 3 seconds.
TEST_F(ProxyTransferTest, AnUnreachableProxyFallsBackToTheDirectConnection) {
  server_.SetResource("/soft/package.json", "manifest");
  SetProxyOverride("127.0.0.1:" + std::to_string(ClosedPort()));

  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(HttpTransfer().FetchToMemory(server_.BaseUrl() + "/soft/package.json", body), kOk);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(body, "manifest");
  EXPECT_EQ(server_.RequestCount(), 1u);
}

// Catches a download attempt that keeps taking a proxy that failed it: the
// engine's next attempt must go by the next choice.
TEST_F(ProxyTransferTest, TheAttemptAfterAnUnreachableProxyGoesDirect) {
  server_.SetResource("/files/a.dll", "file bytes");
  SetProxyOverride("127.0.0.1:" + std::to_string(ClosedPort()));
  const std::string fileName = test_files::NarrowPath(scratch_.path() / "a.dll");
  DownloadTarget target;
  target.fileName = fileName.c_str();
  EXPECT_EQ(HttpTransfer().Download(server_.BaseUrl() + "/files/a.dll", target), kCouldNotConnect);
  EXPECT_EQ(server_.RequestCount(), 0u);
  EXPECT_EQ(HttpTransfer().Download(server_.BaseUrl() + "/files/a.dll", target), kOk);
  EXPECT_EQ(server_.RequestCount(), 1u);
}

// Catches the override DIRECT losing to a proxy, and libcurl following the
// environment's http_proxy behind the system's back.
TEST_F(ProxyTransferTest, DirectMeansDirectWhateverTheEnvironmentSays) {
  server_.SetResource("/soft/package.json", "manifest");
  const std::string deadProxy = "http://127.0.0.1:" + std::to_string(ClosedPort());
  SetEnvironment("http_proxy", deadProxy.c_str());
  SetEnvironment("NO_PROXY", "");
  SetEnvironment("no_proxy", "");
  for (const char* setting : {"DIRECT", ""}) {
    SetProxyOverride(setting);
    std::string body;
    EXPECT_EQ(HttpTransfer().FetchToMemory(server_.BaseUrl() + "/soft/package.json", body), kOk) << setting;
    EXPECT_EQ(body, "manifest") << setting;
  }
  SetEnvironment("http_proxy", "");
  test_files::BypassProxies();
  EXPECT_EQ(server_.RequestCount(), 2u);
  EXPECT_EQ(proxy_.RequestCount(), 0u);
}

// A proxy that wants credentials we do not give (the test server's 407 asks
// for Basic): the request ends at once as a failure, the proxy never sees a
// password, nothing of its page is taken, and the proxy is not passed over
// for the direct road, which a school that demands credentials has closed.
TEST_F(ProxyTransferTest, AProxyRefusingUsEndsTheRequestAfterOneTry) {
  test_http::ResponsePlan refuse;
  refuse.status = 407;
  proxy_.SetFault(kFarUrl, refuse);
  proxy_.SetFault("http://update.invalid/files/a.dll", refuse);
  proxy_.SetFault("update.invalid:443", refuse);  // the tunnel an https request asks for
  server_.SetResource("/soft/package.json", "manifest");
  SetProxyOverride(ProxyAddress());

  std::string body = "kept";
  EXPECT_EQ(HttpTransfer().FetchToMemory(kFarUrl, body), kHttpError);
  EXPECT_EQ(body, "kept");

  std::vector<unsigned> pauses;
  RetryPolicy policy;
  policy.pause = [&pauses](unsigned ms) { pauses.push_back(ms); };
  const fs::path file = scratch_.path() / "a.dll";
  for (const char* url : {"http://update.invalid/files/a.dll", "https://update.invalid/files/a.dll"}) {
    const int result = DownloadUntilProved(url, test_files::NarrowPath(file), nullptr, policy, LimitsForSize(-1),
                                           [](const std::string&) { return true; });
    EXPECT_EQ(result, kHttpError) << url;
    EXPECT_TRUE(pauses.empty()) << url << " retried " << pauses.size() << " times";
    EXPECT_FALSE(fs::exists(file)) << url;
  }

  // Still the proxy: the next request goes to it again.
  std::string again;
  EXPECT_EQ(HttpTransfer().FetchToMemory(kFarUrl, again), kHttpError);
  const std::vector<test_http::RecordedRequest> requests = proxy_.Requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const test_http::RecordedRequest& request : requests) {
    EXPECT_FALSE(request.HasHeader("Proxy-Authorization")) << request.target;
    EXPECT_FALSE(request.HasHeader("Authorization")) << request.target;
  }
  EXPECT_EQ(server_.RequestCount(), 0u);
}

}  // namespace
