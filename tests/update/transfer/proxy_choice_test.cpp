// The proxy decision from what Windows reports, and the process-wide route
// that passes over unreachable proxies, with a stand-in for the system.

#include "update/transfer/proxy_choice.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/transfer/proxy_route.h"

namespace {

using Choices = std::vector<std::string>;

ProxyTarget Target(const std::string& url) {
  ProxyTarget target;
  EXPECT_TRUE(ParseProxyTarget(url, target)) << url;
  return target;
}

TEST(ProxyTarget, TakesSchemeAndHostWhateverFollows) {
  struct Row {
    const char* url;
    const char* scheme;
    const char* host;
  };
  const Row rows[] = {
      {"http://Update.School.LAN/soft/package.json?r=1", "http", "update.school.lan"},
      {"HTTPS://update.example.com:8443", "https", "update.example.com"},
      {"http://user:pw@host:81/x", "http", "host"},
      {"http://[::1]:8080/package.json", "http", "::1"},
      {"http://server?x=1", "http", "server"},
  };
  for (const Row& row : rows) {
    const ProxyTarget target = Target(row.url);
    EXPECT_EQ(target.scheme, row.scheme) << row.url;
    EXPECT_EQ(target.host, row.host) << row.url;
  }
  ProxyTarget target;
  for (const char* bad : {"", "package.json", "://host", "http://", "http:///path", "http://[::1"}) {
    EXPECT_FALSE(ParseProxyTarget(bad, target)) << bad;
  }
}

TEST(ProxyAddress, NormalisesWhatWindowsAndAdministratorsWrite) {
  struct Row {
    const char* address;
    const char* proxy;  // "" when refused
  };
  const Row rows[] = {
      {"proxy:3128", "http://proxy:3128"},
      // libcurl's own default port would be 1080; WinHTTP's is 80.
      {"proxy", "http://proxy:80"},
      {"HTTP://Proxy.School.lan:8080/", "http://proxy.school.lan:8080"},
      {"10.0.0.1:8080", "http://10.0.0.1:8080"},
      {"[fd00::1]:3128", "http://[fd00::1]:3128"},
      {"[fd00::1]", "http://[fd00::1]:80"},
      {"socks://proxy:1080", ""},
      {"https://proxy:443", ""},
      {"proxy:port", ""},
      {"proxy:123456", ""},
      {"proxy:", ""},
      {":3128", ""},
      {"proxy/path", ""},
      {"user@proxy:3128", ""},
      {"[fd00::1", ""},
      {"", ""},
  };
  for (const Row& row : rows) EXPECT_EQ(NormaliseProxyAddress(row.address), row.proxy) << row.address;
}

TEST(ProxyList, GivesTheEntriesForTheScheme) {
  struct Row {
    const char* list;
    const char* scheme;
    Choices proxies;
  };
  const Row rows[] = {
      {"proxy:3128", "http", {"http://proxy:3128"}},
      {"proxy:3128", "https", {"http://proxy:3128"}},
      {"http=h:1;https=s:2", "http", {"http://h:1"}},
      {"http=h:1;https=s:2", "https", {"http://s:2"}},
      // A scheme the list does not name goes direct, as Windows does.
      {"http=h:1", "https", {}},
      {"ftp=f:21;socks=s:1080", "http", {}},
      {"a:1;b:2", "http", {"http://a:1", "http://b:2"}},
      {"a:1 b:2\tc:3", "http", {"http://a:1", "http://b:2", "http://c:3"}},
      {"HTTP=h:1; a:1; a:1", "http", {"http://h:1", "http://a:1"}},
      {";; ;", "http", {}},
      {"", "http", {}},
  };
  for (const Row& row : rows) EXPECT_EQ(ProxiesFromList(row.list, row.scheme), row.proxies) << row.list;
}

TEST(ProxyBypass, FollowsWindowsRules) {
  struct Row {
    const char* list;
    const char* host;
    bool bypassed;
  };
  const Row rows[] = {
      {"<local>", "updateserver", true},
      {"<local>", "update.school.lan", false},
      {"<LOCAL>", "UPDATESERVER", true},
      {"*.school.lan", "update.school.lan", true},
      {"*.school.lan", "school.lan", false},
      {"*.school.lan", "update.school.lan.evil.com", false},
      {"10.*", "10.1.2.3", true},
      {"10.*", "110.1.2.3", false},
      {"update.school.lan", "UPDATE.school.lan", true},
      {"intranet;*.school.lan, 10.*", "a.school.lan", true},
      {"*", "anything.example.com", true},
      {"", "update.example.com", false},
      // Loopback never goes through a proxy unless the list asks for it.
      {"", "127.0.0.1", true},
      {"", "localhost", true},
      {"", "::1", true},
      {"<-loopback>", "127.0.0.1", false},
      {"<-loopback>;<local>", "localhost", true},
      // "<local>" is about names: an IPv6 address has no dot but is no name.
      {"<local>", "fd00::1", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(BypassesProxy(row.list, row.host), row.bypassed) << row.list << " / " << row.host;
  }
}

TEST(FixedProxy, EndsWithTheDirectConnection) {
  const ProxyTarget school = Target("http://update.school.lan/package.json");
  EXPECT_EQ(ChoicesFromFixedProxy("proxy:3128", "", school), (Choices{"http://proxy:3128", ""}));
  EXPECT_EQ(ChoicesFromFixedProxy("proxy:3128", "*.school.lan", school), (Choices{""}));
  EXPECT_EQ(ChoicesFromFixedProxy("https=s:1", "", school), (Choices{""}));
  EXPECT_EQ(ChoicesFromFixedProxy("", "", school), (Choices{""}));
}

TEST(PacResult, GivesItsEntriesInOrder) {
  struct Row {
    const char* result;
    Choices choices;
  };
  const Row rows[] = {
      {"PROXY a:1; PROXY b:2; DIRECT", {"http://a:1", "http://b:2", ""}},
      {"DIRECT", {""}},
      {"direct", {""}},
      {"PROXY a:1", {"http://a:1", ""}},
      {"PROXY a", {"http://a:80", ""}},
      // What WinHTTP makes of a script's answer.
      {"a:1", {"http://a:1", ""}},
      {"a:1;b:2", {"http://a:1", "http://b:2", ""}},
      {"HTTP a:1", {"http://a:1", ""}},
      {"SOCKS s:1080; PROXY a:1", {"http://a:1", ""}},
      {"HTTPS tls:443; DIRECT", {""}},
      {"DIRECT; PROXY a:1", {"", "http://a:1"}},
      {"PROXY", {""}},
      {"PROXY bad:port; DIRECT", {""}},
      {"", {""}},
  };
  for (const Row& row : rows) EXPECT_EQ(ChoicesFromPacResult(row.result, "http"), row.choices) << row.result;
}

TEST(ProxyOverrideSetting, IsAnAddressOrDirect) {
  using Kind = ProxyOverride::Kind;
  struct Row {
    const char* setting;
    Kind kind;
    const char* proxy;
  };
  const Row rows[] = {
      {"", Kind::kFollowSystem, ""},
      {"   ", Kind::kFollowSystem, ""},
      {"DIRECT", Kind::kDirect, ""},
      {" direct ", Kind::kDirect, ""},
      {"proxy.school.lan:3128", Kind::kProxy, "http://proxy.school.lan:3128"},
      {"http://proxy:8080", Kind::kProxy, "http://proxy:8080"},
      // Not an address: the system's settings stay in force.
      {"proxy:3128 other:1", Kind::kFollowSystem, ""},
      {"socks://proxy:1080", Kind::kFollowSystem, ""},
      {"proxy:abc", Kind::kFollowSystem, ""},
  };
  for (const Row& row : rows) {
    const ProxyOverride parsed = ParseProxyOverride(row.setting);
    EXPECT_EQ(parsed.kind, row.kind) << row.setting;
    EXPECT_EQ(parsed.proxy, row.proxy) << row.setting;
  }
}

// The system as a stand-in: a proxy list that names two proxies.
Choices TwoProxies(const std::string&, std::chrono::milliseconds) {
  return {"http://first:1", "http://second:2", ""};
}

class ProxyRouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = SetProxyChoiceSource(&TwoProxies);
    SetProxyOverride("");
  }
  void TearDown() override {
    SetProxyChoiceSource(before_);
    SetProxyOverride("");
  }

 private:
  ProxyChoiceSource before_ = nullptr;
};

constexpr std::chrono::milliseconds kBudget{100};
const std::string kUrl = "http://update.example.com/package.json";

TEST_F(ProxyRouteTest, PassesOverUnreachableProxiesDownToDirect) {
  EXPECT_EQ(ProxyForRequest(kUrl, kBudget), "http://first:1");
  EXPECT_TRUE(ReportProxyResult("http://first:1", CURLE_COULDNT_CONNECT, false));
  EXPECT_EQ(ProxyForRequest(kUrl, kBudget), "http://second:2");
  // A proxy that swallows the connection attempt until the time runs out.
  EXPECT_TRUE(ReportProxyResult("http://second:2", CURLE_OPERATION_TIMEDOUT, false));
  EXPECT_EQ(ProxyForRequest(kUrl, kBudget), "");
  // A new check gives the proxies another chance.
  SetProxyOverride("");
  EXPECT_EQ(ProxyForRequest(kUrl, kBudget), "http://first:1");
}

TEST_F(ProxyRouteTest, OnlyTheProxysOwnFailurePassesItOver) {
  // The server's failures behind a working proxy, or a direct failure, are
  // not the proxy's: the next request must still take it.
  for (int result :
       {CURLE_OK, CURLE_OPERATION_TIMEDOUT, CURLE_HTTP_RETURNED_ERROR, CURLE_RECV_ERROR, CURLE_COULDNT_RESOLVE_HOST}) {
    EXPECT_FALSE(ReportProxyResult("http://first:1", result, true)) << result;
  }
  EXPECT_FALSE(ReportProxyResult("", CURLE_COULDNT_CONNECT, false));
  EXPECT_EQ(ProxyForRequest(kUrl, kBudget), "http://first:1");
}

TEST_F(ProxyRouteTest, TheOverrideWinsOverTheSystem) {
  SetProxyOverride("DIRECT");
  EXPECT_EQ(ProxyForRequest(kUrl, kBudget), "");
  SetProxyOverride("admin:3128");
  EXPECT_EQ(ProxyForRequest(kUrl, kBudget), "http://admin:3128");
  // An unreachable override falls back to the direct connection, not to the
  // system's proxies the administrator overrode.
  EXPECT_TRUE(ReportProxyResult("http://admin:3128", CURLE_COULDNT_RESOLVE_PROXY, false));
  EXPECT_EQ(ProxyForRequest(kUrl, kBudget), "");
  SetProxyOverride("not an address");
  EXPECT_EQ(ProxyForRequest(kUrl, kBudget), "http://first:1");
}

}  // namespace
