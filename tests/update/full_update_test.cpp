// The full-package update against our own HTTP server on 127.0.0.1: the
// installer's name and download in both builds, and on Windows the update
// manager's own method with windows that record the messages it sends.

#include "update/full_update.h"

#include "tests/support/progress_recorder.h"
#include "tests/support/test_files.h"
#include "tests/server/test_http_server.h"

#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>

#include "platform/text.h"
#include "tests/support/recording_window_win.h"
#include "update/update_manager.h"
#include "update/update_messages.h"
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_files::BypassProxies;
using test_files::NarrowPath;
using test_files::ReadFile;
using test_files::WriteFile;

const DownloadLimits kNoSize = LimitsForSize(-1);

std::string Installer(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 13 + i / 251) & 0xff);
  return bytes;
}

// Catches a date changed on its way into the name, and unsafe dates let through.
TEST(InstallerFileName, KeepsTheDateVerbatimAndRefusesPaths) {
  struct Case {
    const char* date;
    const char* name;  // empty: refused
  };
  const Case cases[] = {
      {"20260105", "setup20260105.exe"},
      {"", "setup.exe"},
      {"V2.1 Beta", "setupV2.1 Beta.exe"},
      {" x. ", "setup x. .exe"},
      {"\xD6\xD0\xCE\xC4", "setup\xD6\xD0\xCE\xC4.exe"},
      {"..", ""},
      {"a..b", ""},
      {"..\\..\\evil", ""},
      {"sub\\x", ""},
      {"sub/x", ""},
      {"C:x", ""},
      {":", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(InstallerFileName(c.date), c.name) << c.date;
}

class DownloadInstallerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BypassProxies(); }

  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  void TearDown() override { server_.Stop(); }

  static bool AcceptAny(const std::string&) { return true; }

  // The default retries, with their pauses recorded instead of slept.
  RetryPolicy Retries() {
    RetryPolicy policy;
    policy.pause = [this](unsigned ms) { pauses_.push_back(ms); };
    return policy;
  }

  test_http::TestHttpServer server_;
  test_files::TempDirectory scratch_{"zq_full_update_"};
  const fs::path dir_ = scratch_.path();
  ProgressRecording progress_;
  std::vector<unsigned> pauses_;
};

// Catches progress sent elsewhere than the bar, out of pairs, falling back, or
// never reaching the whole size; and bytes changed on their way to the file.
TEST_F(DownloadInstallerTest, ByteProgressRisesToTheWholeSize) {
  const std::string bytes = Installer(300000);
  server_.SetResource("/setup.exe", bytes);
  int bar = 0;
  const fs::path path = dir_ / "setup20260105.exe";

  EXPECT_EQ(DownloadInstaller(server_.BaseUrl() + "/fault/pieces=10,piece-delay=0.02/setup.exe", NarrowPath(path), &bar,
                              Retries(), kNoSize, AcceptAny),
            0);
  EXPECT_EQ(ReadFile(path), bytes);
  const std::vector<ProgressMessage>& progress = RecordedProgress();
  ASSERT_GE(progress.size(), 4u);
  ASSERT_EQ(progress.size() % 2, 0u);
  std::intptr_t last = 0;
  for (std::size_t i = 0; i < progress.size(); i += 2) {
    const ProgressMessage& range = progress[i];
    const ProgressMessage& pos = progress[i + 1];
    EXPECT_EQ(range.window, &bar);
    EXPECT_EQ(range.message, kProgressSetRange32);
    EXPECT_EQ(range.wParam, 0u);
    EXPECT_EQ(pos.window, &bar);
    EXPECT_EQ(pos.message, kProgressSetPos);
    EXPECT_EQ(pos.lParam, 0);
    EXPECT_GE(static_cast<std::intptr_t>(pos.wParam), last);
    last = static_cast<std::intptr_t>(pos.wParam);
  }
  EXPECT_EQ(progress[progress.size() - 2].lParam, static_cast<std::intptr_t>(bytes.size()));
  EXPECT_EQ(last, static_cast<std::intptr_t>(bytes.size()));
}

// Catches a failure reported as success, an error page or a partial file left
// under the installer's name or its download name, and retries that stop early.
TEST_F(DownloadInstallerTest, FailedDownloadsGiveTheirCodeAndNoFile) {
  const fs::path path = dir_ / "setup.exe";
  const fs::path partial = dir_ / (std::string("setup.exe") + kPartialDownloadSuffix);
  EXPECT_EQ(
      DownloadInstaller(server_.BaseUrl() + "/missing.exe", NarrowPath(path), nullptr, Retries(), kNoSize, AcceptAny),
      22);
  EXPECT_EQ(server_.RequestCount(), 4u);
  EXPECT_FALSE(fs::exists(path));

  server_.SetResource("/cut.exe", Installer(100000));
  EXPECT_EQ(DownloadInstaller(server_.BaseUrl() + "/fault/close-mid/cut.exe", NarrowPath(path), nullptr, Retries(),
                              kNoSize, AcceptAny),
            18);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(partial));

  test_http::TestHttpServer down;
  ASSERT_TRUE(down.Start());
  const std::string url = down.BaseUrl() + "/setup.exe";
  down.Stop();
  EXPECT_EQ(DownloadInstaller(url, NarrowPath(path), nullptr, Retries(), kNoSize, AcceptAny), 7);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(pauses_, (std::vector<unsigned>{1000, 4000, 16000, 1000, 4000, 16000, 1000, 4000, 16000}));
}

// Catches an installer renamed into place before it is proved, and one kept
// under its download name after a refusal.
TEST_F(DownloadInstallerTest, AnInstallerThatFailsItsProofIsNotKept) {
  const std::string bytes = Installer(5000);
  server_.SetResource("/setup.exe", bytes);
  const fs::path path = dir_ / "setup.exe";
  WriteFile(path, "older installer");
  int proofs = 0;
  const auto refuse = [&](const std::string& candidate) {
    ++proofs;
    EXPECT_EQ(ReadFile(test_files::FromNarrowPath(candidate)), bytes) << "judged only when whole";
    return false;
  };
  EXPECT_EQ(DownloadInstaller(server_.BaseUrl() + "/setup.exe", NarrowPath(path), nullptr, Retries(), kNoSize, refuse),
            kDownloadNotProved);
  EXPECT_EQ(proofs, 4);
  EXPECT_EQ(ReadFile(path), "older installer");
  EXPECT_FALSE(fs::exists(dir_ / (std::string("setup.exe") + kPartialDownloadSuffix)));
}

#ifdef _WIN32

// RunFullUpdate into the real temp\ beside this program, with the real
// SendMessageW sender for the bar.
class UpdateManagerFullTest : public DownloadInstallerTest {
 protected:
  void SetUp() override {
    DownloadInstallerTest::SetUp();
    SetProgressMessageSender(&SendProgressMessageToWindow);
    ClearRecordedMessages();
    std::random_device random;
    date_ = "Test " + std::to_string(random()) + ".B";
    manager_.SetTrayWindow(tray_.get());
    manager_.SetProgressBar(bar_.get());
    manager_.retryPolicy = Retries();
    manager_.remoteManifest.set_full_update(true);
    manager_.remoteManifest.set_package_date(date_);
  }
  void TearDown() override {
    std::error_code error;
    fs::remove(fs::path(InstallerPath()), error);
    DownloadInstallerTest::TearDown();
  }
  std::wstring InstallerPath() const {
    return UpdateManager::GetTempDirectory() + L"setup" + NarrowToWide(date_) + L".exe";
  }

  RecordingWindow tray_;
  RecordingWindow bar_;
  UpdateManager manager_{ReleaseTrust::Unsigned()};
  std::string date_;
};

// Catches a second or missing ready message, a path in lParam other than the
// one returned or written, and progress sent to the tray window.
TEST_F(UpdateManagerFullTest, AnnouncesTheInstallerOnceWithItsPath) {
  const std::string bytes = Installer(100000);
  server_.SetResource("/setup.exe", bytes);
  manager_.remoteManifest.set_install_package_url(server_.BaseUrl() + "/setup.exe");

  const std::wstring result = manager_.RunFullUpdate();
  EXPECT_EQ(result, InstallerPath());
  EXPECT_EQ(ReadFile(fs::path(result)), bytes);
  int ready = 0;
  for (const RecordedMessage& message : RecordedMessages()) {
    if (message.message == kUpdateReadyMessage) {
      ++ready;
      EXPECT_EQ(message.window, tray_.get());
      EXPECT_EQ(message.wParam, 1u);
      EXPECT_EQ(message.text, result);
    } else {
      EXPECT_EQ(message.window, bar_.get()) << message.message;
    }
  }
  EXPECT_EQ(ready, 1);
  const std::vector<RecordedMessage>& recorded = RecordedMessages();
  ASSERT_GE(recorded.size(), 3u);
  EXPECT_EQ(recorded.back().message, kUpdateReadyMessage);
  const RecordedMessage& lastPos = recorded[recorded.size() - 2];
  EXPECT_EQ(lastPos.message, static_cast<UINT>(PBM_SETPOS));
  EXPECT_EQ(lastPos.wParam, bytes.size());
}

// Catches a ready message (which would start whatever lies there) after a
// failed or refused download, and a non-empty result.
TEST_F(UpdateManagerFullTest, FailuresSendNothingAndGiveEmptyText) {
  manager_.remoteManifest.set_install_package_url(server_.BaseUrl() + "/missing.exe");
  EXPECT_EQ(manager_.RunFullUpdate(), L"");

  test_http::TestHttpServer down;
  ASSERT_TRUE(down.Start());
  manager_.remoteManifest.set_install_package_url(down.BaseUrl() + "/setup.exe");
  down.Stop();
  EXPECT_EQ(manager_.RunFullUpdate(), L"");

  server_.SetResource("/setup.exe", Installer(100));
  server_.ClearRequests();
  manager_.remoteManifest.set_install_package_url(server_.BaseUrl() + "/setup.exe");
  manager_.remoteManifest.set_package_date("..\\..\\evil");
  EXPECT_EQ(manager_.RunFullUpdate(), L"");
  EXPECT_EQ(server_.RequestCount(), 0u);

  for (const RecordedMessage& message : RecordedMessages()) EXPECT_NE(message.window, tray_.get());
  EXPECT_FALSE(fs::exists(fs::path(InstallerPath())));
}

#endif  // _WIN32

}  // namespace
