// The test server's own promises that the HTTP tests do not already exercise:
// fault texts, the rules file, the request log, serving a directory safely,
// and stopping in the middle of a stall.

#include "tools/test_http_server/test_http_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace test_http;

struct Reply {
  long status = 0;
  std::string body;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

// A plain GET that sends the path exactly as written ("/../x" included).
Reply Get(const std::string& url) {
  Reply reply;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_PROXY, "");
  curl_easy_setopt(curl.get(), CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply.body);
  if (curl_easy_perform(curl.get()) == CURLE_OK) curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

class ScratchDirectory {
 public:
  ScratchDirectory() : path_(fs::temp_directory_path() / ("zq_http_server_test_" + std::to_string(std::random_device()()))) {
    fs::create_directories(path_);
  }
  ~ScratchDirectory() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Catches tokens that parse to the wrong fault, silently accepted typos, and
// stalls that a typo could make unbounded.
TEST(FaultPlan, TokensSetTheirFaultAndNothingElse) {
  ResponsePlan plan;
  ASSERT_TRUE(ParseFaultTokens("404", &plan));
  EXPECT_EQ(plan.status, 404);

  plan = ResponsePlan();
  ASSERT_TRUE(ParseFaultTokens("stall-before=1.5,pieces=4,piece-delay=0.25,chunked", &plan));
  EXPECT_EQ(plan.status, 200);
  EXPECT_DOUBLE_EQ(plan.stallBeforeSeconds, 1.5);
  EXPECT_EQ(plan.pieces, 4);
  EXPECT_DOUBLE_EQ(plan.pieceDelaySeconds, 0.25);
  EXPECT_TRUE(plan.chunked);
  EXPECT_FALSE(plan.closeMidBody);

  plan = ResponsePlan();
  ASSERT_TRUE(ParseFaultTokens("stall-mid,close-mid,empty,status=503", &plan));
  EXPECT_DOUBLE_EQ(plan.stallMidSeconds, kDefaultStallSeconds);
  EXPECT_TRUE(plan.closeMidBody);
  EXPECT_TRUE(plan.emptyBody);
  EXPECT_EQ(plan.status, 503);

  plan = ResponsePlan();
  ASSERT_TRUE(ParseFaultTokens("stall-before=100000,redirect=http://127.0.0.1:1/a,b", &plan));
  EXPECT_DOUBLE_EQ(plan.stallBeforeSeconds, kMaxStallSeconds);
  EXPECT_TRUE(plan.redirect);
  EXPECT_EQ(plan.location, "http://127.0.0.1:1/a,b");

  for (const char* bad : {"", "40", "4040", "stall=3", "stall-before=-1", "stall-before=x", "pieces=0",
                          "pieces=1001", "404,", "redirect="}) {
    ResponsePlan untouched;
    untouched.status = 418;
    EXPECT_FALSE(ParseFaultTokens(bad, &untouched)) << bad;
    EXPECT_EQ(untouched.status, 418) << bad;
  }
}

// Catches rules matched out of order, prefix rules matching as exact ones, and
// bad lines taking good ones down with them.
TEST(FaultPlan, RulesFileMatchesExactPathsAndPrefixesInOrder) {
  int badLines = -1;
  const std::vector<FaultRule> rules = ParseFaultRules(
      "# path  fault\r\n"
      "/soft/package.json stall-before=5\n"
      "\n"
      "/files/a.dll 500\n"
      "/files/* close-mid\n"
      "/broken nonsense\n"
      "/too many words\n",
      &badLines);
  EXPECT_EQ(badLines, 2);
  ASSERT_EQ(rules.size(), 3u);
  ASSERT_NE(FindFaultRule(rules, "/soft/package.json"), nullptr);
  EXPECT_DOUBLE_EQ(FindFaultRule(rules, "/soft/package.json")->plan.stallBeforeSeconds, 5);
  EXPECT_EQ(FindFaultRule(rules, "/soft/package.json.bak"), nullptr);
  EXPECT_EQ(FindFaultRule(rules, "/files/a.dll")->plan.status, 500);
  EXPECT_TRUE(FindFaultRule(rules, "/files/sub/b.dll")->plan.closeMidBody);
  EXPECT_EQ(FindFaultRule(rules, "/other"), nullptr);

  std::string tokens;
  std::string rest;
  ASSERT_TRUE(SplitFaultPrefix("/fault/404,empty/soft/package.json", &tokens, &rest));
  EXPECT_EQ(tokens, "404,empty");
  EXPECT_EQ(rest, "/soft/package.json");
  EXPECT_FALSE(SplitFaultPrefix("/faults/404/x", &tokens, &rest));
  EXPECT_FALSE(SplitFaultPrefix("/fault/404", &tokens, &rest));
}

// Catches log lines that a JSON reader cannot take back, and headers lost.
TEST(RequestLog, JsonLineEscapesEveryAwkwardByte) {
  const RecordedRequest request =
      ParseRequestHead("GET /a%20b?r=1&x=\"q\" HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Odd:  back\\slash\t\x01\xD6 \r\n");
  EXPECT_EQ(request.path, "/a%20b");
  EXPECT_EQ(request.query, "r=1&x=\"q\"");
  EXPECT_EQ(request.Header("x-odd"), "back\\slash\t\x01\xD6");
  EXPECT_EQ(ToJsonLine(request),
            "{\"method\":\"GET\",\"target\":\"/a%20b?r=1&x=\\\"q\\\"\",\"path\":\"/a%20b\","
            "\"query\":\"r=1&x=\\\"q\\\"\",\"status\":0,\"headers\":[[\"Host\",\"127.0.0.1\"],"
            "[\"X-Odd\",\"back\\\\slash\\u0009\\u0001\\u00d6\"]]}");
}

// Catches a directory served without decoding, a way out of the root, the
// rules file read only once, and requests missing from the log.
TEST(TestHttpServerProgram, ServesADirectoryWithRulesAndLog) {
  ScratchDirectory scratch;
  const fs::path root = scratch.path() / "root";
  fs::create_directories(root / "soft");
  std::ofstream(root / "soft" / "package.json", std::ios::binary) << "{\"version\":\"12\"}";
  std::ofstream(root / "a b.dll", std::ios::binary) << "spaced";
  std::ofstream(scratch.path() / "secret.txt", std::ios::binary) << "secret";

  ServerOptions options;
  options.documentRoot = root.string();
  options.faultRulesFile = (scratch.path() / "faults.txt").string();
  options.requestLogFile = (scratch.path() / "requests.jsonl").string();
  TestHttpServer server(options);
  ASSERT_TRUE(server.Start());
  const std::string base = server.BaseUrl();

  EXPECT_EQ(Get(base + "/soft/package.json").body, "{\"version\":\"12\"}");
  EXPECT_EQ(Get(base + "/a%20b.dll").body, "spaced");
  EXPECT_EQ(Get(base + "/../secret.txt").status, 404);
  EXPECT_EQ(Get(base + "/%2e%2e/secret.txt").status, 404);

  std::ofstream(options.faultRulesFile, std::ios::binary) << "/soft/* 503\n";
  EXPECT_EQ(Get(base + "/soft/package.json").status, 503);
  std::ofstream(options.faultRulesFile, std::ios::binary) << "# nothing\n";
  EXPECT_EQ(Get(base + "/soft/package.json?r=7").status, 200);
  server.Stop();

  const std::string log = ReadFile(options.requestLogFile);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6);
  EXPECT_NE(log.find("\"path\":\"/soft/package.json\",\"query\":\"r=7\",\"status\":200"), std::string::npos) << log;
  EXPECT_NE(log.find("\"status\":503"), std::string::npos) << log;
}

// Catches a stall that holds Stop() (and so a test's teardown) for its whole length.
TEST(TestHttpServerProgram, StopCutsAStallShort) {
  auto server = std::make_unique<TestHttpServer>();
  server->SetResource("/x", "x");
  ASSERT_TRUE(server->Start());
  const std::string url = server->BaseUrl() + "/fault/stall-before=60/x";
  std::thread client([url] { Get(url); });
  for (int i = 0; i < 200 && server->RequestCount() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server->RequestCount(), 1u);
  const auto start = std::chrono::steady_clock::now();
  server.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  client.join();
}

}  // namespace
