// The system's proxy as WinHTTP reports it, under Wine: the user's settings
// are written into the registry as Windows keeps them, and put back after.
// Its own process, since what the system says is kept for the process's run.

#include "update/transfer/system_proxy.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/server/test_http_server.h"
#include "tests/support/test_files.h"
#include "update/transfer/http_transfer.h"
#include "update/transfer/proxy_route.h"

namespace {

using Clock = std::chrono::steady_clock;
using test_http::TestHttpServer;

constexpr wchar_t kConnectionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kSettingsValue[] = L"DefaultConnectionSettings";
constexpr std::uint32_t kFixedProxy = 2;
constexpr std::uint32_t kPacFile = 4;
constexpr std::chrono::milliseconds kBudget{1500};

void AppendDword(std::vector<BYTE>& blob, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) blob.push_back(static_cast<BYTE>(value >> shift));
}

void AppendText(std::vector<BYTE>& blob, const std::string& text) {
  AppendDword(blob, static_cast<std::uint32_t>(text.size()));
  blob.insert(blob.end(), text.begin(), text.end());
}

// DefaultConnectionSettings as the Internet Options dialog writes it.
std::vector<BYTE> ConnectionSettings(std::uint32_t flags, const std::string& proxy, const std::string& bypass,
                                     const std::string& pacUrl) {
  std::vector<BYTE> blob;
  AppendDword(blob, 0x46);
  AppendDword(blob, 1);
  AppendDword(blob, flags);
  AppendText(blob, proxy);
  AppendText(blob, bypass);
  AppendText(blob, pacUrl);
  return blob;
}

class SystemProxyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test_files::BypassProxies(); }

  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_,
                              nullptr),
              ERROR_SUCCESS);
    DWORD size = 0;
    hadSettings_ = RegQueryValueExW(key_, kSettingsValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    if (hadSettings_) {
      saved_.resize(size);
      ASSERT_EQ(RegQueryValueExW(key_, kSettingsValue, nullptr, nullptr, saved_.data(), &size), ERROR_SUCCESS);
    }
    ASSERT_TRUE(server_.Start());
    server_.SetResource("/soft/package.json", "manifest");
  }

  void TearDown() override {
    server_.Stop();
    if (hadSettings_) {
      RegSetValueExW(key_, kSettingsValue, 0, REG_BINARY, saved_.data(), static_cast<DWORD>(saved_.size()));
    } else {
      RegDeleteValueW(key_, kSettingsValue);
    }
    RegCloseKey(key_);
  }

  void WriteSettings(const std::vector<BYTE>& blob) {
    ASSERT_EQ(RegSetValueExW(key_, kSettingsValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())),
              ERROR_SUCCESS);
  }

  HKEY key_ = nullptr;
  bool hadSettings_ = false;
  std::vector<BYTE> saved_;
  TestHttpServer server_;
};

// Catches a PAC file that does not answer holding the manifest past its 3
// seconds, or being waited for again at every request.
TEST_F(SystemProxyTest, APacFileThatDoesNotAnswerIsWaitedForOnceWithinTheManifestTime) {
  WriteSettings(ConnectionSettings(kPacFile, "", "", server_.BaseUrl() + "/fault/stall-before=30/proxy.pac"));

  std::string body;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(HttpTransfer().FetchToMemory(server_.BaseUrl() + "/soft/package.json", body), 0);
  const Clock::duration first = Clock::now() - start;
  EXPECT_EQ(body, "manifest");
  EXPECT_LT(first, std::chrono::seconds(3));
  // The PAC file was asked for, and waited for up to the lookup's budget.
  EXPECT_GE(first, kBudget - std::chrono::milliseconds(100));

  // Another server: not this server's kept answer, yet the PAC file is not
  // asked for again in this run.
  TestHttpServer other;
  ASSERT_TRUE(other.Start());
  start = Clock::now();
  EXPECT_EQ(SystemProxyChoices(other.BaseUrl() + "/soft/package.json", kBudget), std::vector<std::string>{""});
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

// Catches the fixed proxy's bypass list or scheme entries read wrongly from
// what WinHTTP reports, and per-server answers mixed up.
TEST_F(SystemProxyTest, TheFixedProxyAppliesPerServerAsTheBypassListSays) {
  WriteSettings(ConnectionSettings(kFixedProxy, "http=school:3128;https=secure:3129", "*.school.lan;<local>", ""));
  const std::vector<std::string> viaProxy = {"http://school:3128", ""};
  EXPECT_EQ(SystemProxyChoices("http://update.example.com/soft/package.json", kBudget), viaProxy);
  EXPECT_EQ(SystemProxyChoices("https://update.example.com/soft/package.json", kBudget),
            (std::vector<std::string>{"http://secure:3129", ""}));
  EXPECT_EQ(SystemProxyChoices("http://update.school.lan/soft/package.json", kBudget), std::vector<std::string>{""});
  EXPECT_EQ(SystemProxyChoices("http://updateserver:8080/soft/package.json", kBudget), std::vector<std::string>{""});
}

}  // namespace
