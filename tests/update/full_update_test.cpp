// The full-package update against our own HTTP server on 127.0.0.1: the
// installer's name and download in both builds, and on Windows the update
// manager's own method with windows that record the messages it sends.

#include "update/full_update.h"

#include "tools/test_http_server/test_http_server.h"

#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>

#include "platform/text.h"
#include "update/update_manager.h"
#include "update/update_messages.h"
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

std::string Installer(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 13 + i / 251) & 0xff);
  return bytes;
}

std::string ToNarrow(const fs::path& path) {
#ifdef _WIN32
  return WideToNarrow(path.wstring());
#else
  return path.string();
#endif
}

void BypassProxies() {
#ifdef _WIN32
  _putenv_s("NO_PROXY", "*");
  _putenv_s("no_proxy", "*");
#else
  setenv("NO_PROXY", "*", 1);
  setenv("no_proxy", "*", 1);
#endif
}

// Catches a date changed on its way into the name, and unsafe dates let through.
TEST(InstallerFileName, KeepsTheDateVerbatimAndRefusesPaths) {
  struct Case {
    const char* date;
    const char* name;  // empty: refused
  };
  const Case cases[] = {
      {"20260105", "setup20260105.exe"}, {"", "setup.exe"},
      {"V2.1 Beta", "setupV2.1 Beta.exe"}, {" x. ", "setup x. .exe"},
      {"\xD6\xD0\xCE\xC4", "setup\xD6\xD0\xCE\xC4.exe"},
      {"..", ""}, {"a..b", ""}, {"..\\..\\evil", ""}, {"sub\\x", ""}, {"sub/x", ""}, {"C:x", ""}, {":", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(InstallerFileName(c.date), c.name) << c.date;
}

struct ProgressMessage {
  ProgressWindow window;
  unsigned int message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

std::vector<ProgressMessage> progressMessages;

void RecordProgress(ProgressWindow window, unsigned int message, std::uintptr_t wParam, std::intptr_t lParam) {
  progressMessages.push_back({window, message, wParam, lParam});
}

class DownloadInstallerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BypassProxies(); }

  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("zq_full_update_" + std::to_string(random()));
    fs::create_directories(dir_);
    progressMessages.clear();
    previousSender_ = SetProgressMessageSender(&RecordProgress);
  }

  void TearDown() override {
    SetProgressMessageSender(previousSender_);
    server_.Stop();
    std::error_code error;
    fs::remove_all(dir_, error);
  }

  test_http::TestHttpServer server_;
  fs::path dir_;
  ProgressMessageSender previousSender_ = nullptr;
};

// Catches progress sent elsewhere than the bar, out of pairs, falling back, or
// never reaching the whole size; and bytes changed on their way to the file.
TEST_F(DownloadInstallerTest, ByteProgressRisesToTheWholeSize) {
  const std::string bytes = Installer(300000);
  server_.SetResource("/setup.exe", bytes);
  int bar = 0;
  const fs::path path = dir_ / "setup20260105.exe";

  EXPECT_EQ(DownloadInstaller(server_.BaseUrl() + "/fault/pieces=10,piece-delay=0.02/setup.exe", ToNarrow(path), &bar),
            0);
  EXPECT_EQ(ReadFile(path), bytes);
  ASSERT_GE(progressMessages.size(), 4u);
  ASSERT_EQ(progressMessages.size() % 2, 0u);
  std::intptr_t last = 0;
  for (std::size_t i = 0; i < progressMessages.size(); i += 2) {
    const ProgressMessage& range = progressMessages[i];
    const ProgressMessage& pos = progressMessages[i + 1];
    EXPECT_EQ(range.window, &bar);
    EXPECT_EQ(range.message, kProgressSetRange32);
    EXPECT_EQ(range.wParam, 0u);
    EXPECT_EQ(pos.window, &bar);
    EXPECT_EQ(pos.message, kProgressSetPos);
    EXPECT_EQ(pos.lParam, 0);
    EXPECT_GE(static_cast<std::intptr_t>(pos.wParam), last);
    last = static_cast<std::intptr_t>(pos.wParam);
  }
  EXPECT_EQ(progressMessages[progressMessages.size() - 2].lParam, static_cast<std::intptr_t>(bytes.size()));
  EXPECT_EQ(last, static_cast<std::intptr_t>(bytes.size()));
}

// Catches a failure reported as success, and an error page saved as the installer.
TEST_F(DownloadInstallerTest, FailedDownloadsGiveTheirCodeAndNoFile) {
  const fs::path path = dir_ / "setup.exe";
  EXPECT_EQ(DownloadInstaller(server_.BaseUrl() + "/missing.exe", ToNarrow(path), nullptr), 22);
  EXPECT_FALSE(fs::exists(path));

  test_http::TestHttpServer down;
  ASSERT_TRUE(down.Start());
  const std::string url = down.BaseUrl() + "/setup.exe";
  down.Stop();
  EXPECT_EQ(DownloadInstaller(url, ToNarrow(path), nullptr), 7);
  EXPECT_FALSE(fs::exists(path));
}

#ifdef _WIN32

struct RecordedMessage {
  HWND window;
  UINT message;
  WPARAM wParam;
  std::wstring path;  // WM_UPDATE_READY's lParam, read while the sender waits
};

std::vector<RecordedMessage> recordedMessages;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kUpdateReadyMessage || message == kUpdateFailedMessage) {
    recordedMessages.push_back({window, message, wParam, lParam > 1 ? reinterpret_cast<const wchar_t*>(lParam) : L""});
    return 0;
  }
  if (message == PBM_SETRANGE32 || message == PBM_SETPOS) {
    recordedMessages.push_back({window, message, wParam, std::to_wstring(lParam)});
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// A message-only window of this thread: SendMessageW runs RecordingProc directly.
class RecordingWindow {
 public:
  RecordingWindow() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &RecordingProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"ZqFullUpdateRecorder";
    RegisterClassW(&windowClass);  // fails harmlessly once registered
    window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, nullptr);
  }
  ~RecordingWindow() { DestroyWindow(window_); }
  HWND get() const { return window_; }

 private:
  HWND window_ = nullptr;
};

// RunFullUpdate into the real temp\ beside this program, with the real
// SendMessageW sender for the bar.
class UpdateManagerFullTest : public DownloadInstallerTest {
 protected:
  void SetUp() override {
    DownloadInstallerTest::SetUp();
    SetProgressMessageSender(&SendProgressMessageToWindow);
    recordedMessages.clear();
    std::random_device random;
    date_ = "Test " + std::to_string(random()) + ".B";
    manager_.SetTrayWindow(tray_.get());
    manager_.SetProgressBar(bar_.get());
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
  UpdateManager manager_;
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
  for (const RecordedMessage& message : recordedMessages) {
    if (message.message == kUpdateReadyMessage) {
      ++ready;
      EXPECT_EQ(message.window, tray_.get());
      EXPECT_EQ(message.wParam, 1u);
      EXPECT_EQ(message.path, result);
    } else {
      EXPECT_EQ(message.window, bar_.get()) << message.message;
    }
  }
  EXPECT_EQ(ready, 1);
  ASSERT_GE(recordedMessages.size(), 3u);
  EXPECT_EQ(recordedMessages.back().message, kUpdateReadyMessage);
  const RecordedMessage& lastPos = recordedMessages[recordedMessages.size() - 2];
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

  for (const RecordedMessage& message : recordedMessages) EXPECT_NE(message.window, tray_.get());
  EXPECT_FALSE(fs::exists(fs::path(InstallerPath())));
}

#endif  // _WIN32

}  // namespace
