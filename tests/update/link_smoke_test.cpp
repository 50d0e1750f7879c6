// Proves that libcurl and jsoncpp as linked here (Debian's packages natively,
// our static cross-builds on Windows) are whole and usable; the HTTP behaviour
// of our own code is tested elsewhere.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

// A loopback port that nothing listens on: bound by us, read back, released.
int ClosedLoopbackPort() {
#ifdef _WIN32
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return -1;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const bool opened = s != INVALID_SOCKET;
#else
  int s = socket(AF_INET, SOCK_STREAM, 0);
  const bool opened = s >= 0;
#endif
  int port = -1;
  if (opened) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port = ntohs(addr.sin_port);
    }
#ifdef _WIN32
    closesocket(s);
#else
    close(s);
#endif
  }
#ifdef _WIN32
  WSACleanup();
#endif
  return port;
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

}  // namespace

class CurlLink : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK); }
  static void TearDownTestSuite() { curl_global_cleanup(); }
};

// Catches headers from one curl and a library from another, a build without
// TLS, or one whose HTTP support was configured away.
TEST_F(CurlLink, LibraryMatchesHeadersAndSpeaksHttpOverTls) {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->version_num, static_cast<unsigned>(LIBCURL_VERSION_NUM)) << info->version;

  std::vector<std::string> protocols;
  for (const char* const* p = info->protocols; p && *p; ++p) protocols.emplace_back(*p);
  auto has = [&](const char* name) { return std::find(protocols.begin(), protocols.end(), name) != protocols.end(); };
  EXPECT_TRUE(has("http"));
  EXPECT_TRUE(has("https"));

  EXPECT_NE(info->features & CURL_VERSION_SSL, 0);
  ASSERT_NE(info->ssl_version, nullptr);
#ifdef _WIN32
  // Schannel uses the system's certificate store; any other backend would need a CA bundle.
  EXPECT_NE(std::string(info->ssl_version).find("Schannel"), std::string::npos) << info->ssl_version;
#else
  EXPECT_STRNE(info->ssl_version, "");
#endif
}

// Catches a transfer that cannot reach the socket layer at all (winsock not
// initialised, a resolver that was left out) and error codes lost on the way.
TEST_F(CurlLink, ClosedLoopbackPortFailsToConnect) {
  const int port = ClosedLoopbackPort();
  ASSERT_GT(port, 0);

  CurlHandle curl(curl_easy_init(), &curl_easy_cleanup);
  ASSERT_NE(curl, nullptr);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/package.json";
  ASSERT_EQ(curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str()), CURLE_OK);
  // A proxy from the environment would answer in the port's place.
  ASSERT_EQ(curl_easy_setopt(curl.get(), CURLOPT_PROXY, ""), CURLE_OK);
  ASSERT_EQ(curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L), CURLE_OK);
  ASSERT_EQ(curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, 10000L), CURLE_OK);

  const CURLcode rc = curl_easy_perform(curl.get());
  EXPECT_EQ(rc, CURLE_COULDNT_CONNECT) << curl_easy_strerror(rc);
}

// Catches a reader built without comment support or with broken \u decoding,
// which hand-written manifests and non-ASCII names would run into.
TEST(JsonCppLink, ReaderAcceptsCommentsAndGivesTheValues) {
  const std::string text = R"({
    // edited by hand on the server
    "version": "1.0.0.2",
    "size": 4096,
    "title": "\u4e2d\u6587",
    "files": [ { "local_path": "bin/a.dll" } ]
  })";
  Json::Reader reader;
  Json::Value root;
  ASSERT_TRUE(reader.parse(text, root)) << reader.getFormattedErrorMessages();
  EXPECT_EQ(root["version"].asString(), "1.0.0.2");
  EXPECT_EQ(root["size"].asInt(), 4096);
  EXPECT_EQ(root["title"].asString(), "\xe4\xb8\xad\xe6\x96\x87");
  ASSERT_EQ(root["files"].size(), 1u);
  EXPECT_EQ(root["files"][0]["local_path"].asString(), "bin/a.dll");
}

// Catches a parser that reports success on garbage, and exceptions that do not
// unwind out of the static library (the manifest parser relies on catching them).
TEST(JsonCppLink, BrokenInputAndTypeMismatchesAreReported) {
  Json::Reader reader;
  Json::Value root;
  EXPECT_FALSE(reader.parse(R"({"version": })", root));
  EXPECT_FALSE(reader.getFormattedErrorMessages().empty());

  ASSERT_TRUE(reader.parse(R"({"version": "1.0"})", root));
  EXPECT_THROW(root["version"].asInt(), Json::LogicError);
}
