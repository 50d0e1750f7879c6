// The real program's tray companion under Wine, driven from inside Wine as a
// user's clicks would reach it: messages to the hidden tray window, keys to
// the open menu, buttons of the message box.

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/app/app_test_environment.h"
#include "tests/support/wine_support.h"
#include "tests/server/test_http_server.h"

namespace {

constexpr wchar_t kTrayClass[] = L"Zenquilo教育";
constexpr wchar_t kCaption[] = L"Zenquilo提醒";
constexpr UINT kTrayNotify = 0x400;
constexpr UINT kUpdateReady = 2104;

bool Responds(HWND window, DWORD timeoutMs = 1000) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
}

void PressKey(HWND window, UINT key) {
  PostMessageW(window, WM_KEYDOWN, key, 1);
  PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

HWND VisibleMenu() {
  HWND menu = FindWindowW(L"#32768", nullptr);
  return (menu != nullptr && IsWindowVisible(menu)) ? menu : nullptr;
}

std::wstring ControlText(HWND window, int id) {
  wchar_t text[256] = {};
  GetDlgItemTextW(window, id, text, 256);
  return text;
}

class TrayTest : public testing::Test {
 protected:
  TrayTest() : install_(g_buildDirectory, L"zq tray") {}

  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    WriteSettings();
  }

  // The manifest URL points at our server, so the check answers at once.
  void WriteSettings() {
    install_.WriteFileBytes(L"zenquilostudent.ini",
                            "[global]\r\nURL_UPDATE_PACKAGE=" + server_.BaseUrl() + "/soft/package.json\r\n");
  }

  // Starts the program and waits until its tray window answers messages,
  // which happens once the update check is over and the loop runs.
  void StartResident(const std::wstring& arguments = L"") {
    program_ = StartProgram(install_.Program(), arguments);
    ASSERT_TRUE(WaitUntil([&] {
      tray_ = WindowOfProgram(kTrayClass);
      return tray_ != nullptr && Responds(tray_);
    })) << "no answering tray window";
  }

  // A top-level window of the program under test: a window of an earlier,
  // terminated copy may linger for a moment.
  HWND WindowOfProgram(const wchar_t* className) const { return TopLevelWindowOf(program_.pid(), className); }

  HWND OpenMenu() {
    PostMessageW(tray_, kTrayNotify, 0, WM_RBUTTONDOWN);
    HWND menu = nullptr;
    EXPECT_TRUE(WaitUntil([&] { return (menu = VisibleMenu()) != nullptr; })) << "the menu did not open";
    return menu;
  }

  HWND WaitForMessageBox() {
    HWND box = nullptr;
    EXPECT_TRUE(WaitUntil([&] {
      box = FindWindowW(L"#32770", kCaption);
      return box != nullptr && IsWindowVisible(box);
    })) << "no message box";
    return box;
  }

  size_t LearningStarts() const { return install_.LearningStarts().size(); }

  test_http::TestHttpServer server_;
  InstallDirectory install_;
  RunningProgram program_;
  HWND tray_ = nullptr;
};

TEST_F(TrayTest, DoubleClickRelaunchesTheLearningShell) {
  StartResident();
  ASSERT_TRUE(WaitUntil([&] { return LearningStarts() == 1; }));
  const DWORD first = install_.LearningStarts()[0].pid;

  PostMessageW(tray_, kTrayNotify, 0, WM_LBUTTONDBLCLK);
  ASSERT_TRUE(WaitUntil([&] { return LearningStarts() == 2; }));
  EXPECT_TRUE(WaitUntil([&] { return !IsProcessRunning(first); })) << "the running shell is terminated first";
  EXPECT_EQ(install_.LearningStarts()[1].commandLine, install_.LearningStarts()[0].commandLine);

  // Other mouse messages do nothing.
  PostMessageW(tray_, kTrayNotify, 0, WM_LBUTTONDOWN);
  PostMessageW(tray_, kTrayNotify, 0, WM_MOUSEMOVE);
  ASSERT_TRUE(Responds(tray_));
  Sleep(300);
  EXPECT_EQ(LearningStarts(), 2u);
}

TEST_F(TrayTest, MenuOpensTheLearningCenterAndADismissedMenuDoesNothing) {
  StartResident(L"--no-shell");
  HWND menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  PressKey(menu, VK_ESCAPE);
  EXPECT_TRUE(WaitUntil([] { return VisibleMenu() == nullptr; })) << "escape closes the menu";
  ASSERT_TRUE(Responds(tray_));
  Sleep(300);
  EXPECT_EQ(LearningStarts(), 0u) << "a dismissed menu launches nothing";

  menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  PressKey(menu, VK_DOWN);
  PressKey(menu, VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return LearningStarts() == 1; })) << "the first item opens the learning shell";
  EXPECT_TRUE(program_.IsRunning());
}

TEST_F(TrayTest, ExitAsksFirstAndOkClosesEverything) {
  StartResident();
  ASSERT_TRUE(WaitUntil([&] { return LearningStarts() == 1; }));
  RunningProgram live = StartProgram(install_.LiveShell(), L"");
  ASSERT_TRUE(WaitUntil([&] { return install_.LiveStarts().size() == 1; }));
  const DWORD learning = install_.LearningStarts()[0].pid;

  // Cancel: everything stays.
  HWND menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  PressKey(menu, VK_UP);  // wraps to the last item
  PressKey(menu, VK_RETURN);
  HWND box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(ControlText(box, 0xFFFF), L"确定要退出Zenquilo教育吗？");
  ASSERT_NE(GetDlgItem(box, IDOK), nullptr);
  ASSERT_NE(GetDlgItem(box, IDCANCEL), nullptr);
  EXPECT_EQ(GetDlgItem(box, IDNO), nullptr);
  SendMessageW(GetDlgItem(box, IDCANCEL), BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return Responds(tray_) && FindWindowW(L"#32770", kCaption) == nullptr; }));
  EXPECT_TRUE(program_.IsRunning());
  EXPECT_TRUE(IsProcessRunning(learning));
  EXPECT_TRUE(live.IsRunning());

  // OK: both shells end, then the program, with exit code 0.
  menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  PressKey(menu, VK_UP);
  PressKey(menu, VK_RETURN);
  box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  DWORD exitCode = 1;
  ASSERT_TRUE(program_.WaitForExit(20000, &exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_TRUE(live.WaitForExit(10000, nullptr));
  EXPECT_TRUE(WaitUntil([&] { return !IsProcessRunning(learning); }));
  EXPECT_EQ(FindWindowW(kTrayClass, kTrayClass), nullptr);
}

TEST_F(TrayTest, AfterATaskbarRestartTheMenuStillWorks) {
  StartResident(L"--no-shell");
  DWORD_PTR result = 0;
  SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
  ASSERT_TRUE(Responds(tray_));
  HWND menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  PressKey(menu, VK_DOWN);
  PressKey(menu, VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return LearningStarts() == 1; }));
}

TEST_F(TrayTest, ProgressDialogExistsHiddenWithItsBarAtZero) {
  StartResident(L"--no-shell");
  HWND dialog = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (dialog = WindowOfProgram(L"#32770")) != nullptr; }));
  wchar_t caption[64] = {};
  GetWindowTextW(dialog, caption, 64);
  EXPECT_EQ(std::wstring(caption), L"Zenquilo直播课堂");
  EXPECT_FALSE(IsWindowVisible(dialog));
  HWND bar = GetDlgItem(dialog, -1);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(ControlText(dialog, 1002), L"正在获取最新文件");
}

// The installed version rides along, read before the request: a check that
// loaded the local manifest only after the fetch would say 0.
TEST_F(TrayTest, TheUpdateCheckAsksTheServerWithTickInstalledVersionAndUserAgent) {
  server_.SetResource("/soft/package.json", "{\"version\": \"1\", \"type\": \"none\"}");
  install_.WriteFileBytes(L"package.json", "{\"version\": \"07\", \"file_list\": []}");
  StartResident(L"--no-shell");
  ASSERT_TRUE(WaitUntil([&] { return server_.RequestCount() >= 1; }));
  const test_http::RecordedRequest request = server_.Requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, "/soft/package.json");
  EXPECT_TRUE(std::regex_match(request.query, std::regex("r=-?[0-9]+&v=7"))) << request.query;
  EXPECT_EQ(request.Header("User-Agent"), "KVT Updater/1.0");
  EXPECT_EQ(server_.RequestCount(), 1u) << "one check per start, and no download for type \"none\"";
}

TEST_F(TrayTest, TheUpdateCheckNeverHoldsTheProgramLongerThanItsBound) {
  test_http::ResponsePlan stall;
  stall.stallBeforeSeconds = 30;
  server_.SetFault("/soft/package.json", stall);
  const ULONGLONG started = GetTickCount64();
  program_ = StartProgram(install_.Program(), L"--no-shell");
  // Once the request is out, the main thread waits in the fetch and answers
  // nothing until the fetch gives up.
  ASSERT_TRUE(WaitUntil([&] { return server_.RequestCount() >= 1; }));
  ASSERT_TRUE(WaitUntil([&] {
    tray_ = WindowOfProgram(kTrayClass);
    return tray_ != nullptr && Responds(tray_);
  })) << "the program never answered";
  const ULONGLONG answered = GetTickCount64() - started;
  EXPECT_GE(answered, 2500u) << "the loop starts only after the check";
  EXPECT_LT(answered, 12000u) << "the fetch gives up after 3 seconds";
  EXPECT_TRUE(program_.IsRunning());
}

TEST_F(TrayTest, ReadyForAnIncrementalUpdateSavesTheManifestAsFetched) {
  // LF line ends as the server sends them; the pending copy gets CR LF.
  const std::string manifest = "{\n  \"version\": \"3\",\n  \"type\": \"custom\",\n  \"file_list\": []\n}\n";
  server_.SetResource("/soft/package.json", manifest);
  StartResident(L"--no-shell");
  ASSERT_TRUE(WaitUntil([&] { return server_.RequestCount() >= 1; }));

  SendMessageW(tray_, kUpdateReady, 1, 1);
  EXPECT_EQ(ReadFileBytes(install_.Path() + L"temp\\package.json"),
            "{\r\n  \"version\": \"3\",\r\n  \"type\": \"custom\",\r\n  \"file_list\": []\r\n}\r\n");
  EXPECT_TRUE(program_.IsRunning());
  EXPECT_EQ(FindWindowW(L"#32770", kCaption), nullptr) << "nothing is shown";
}

TEST_F(TrayTest, TempDirectoryExistsAfterEveryStart) {
  const std::wstring temp = install_.Path() + L"temp";
  for (const wchar_t* arguments : {L"", L"kvts://zenquilo/room", L"hello"}) {
    // The event log of the start before is in it.
    RemoveTree(temp + L"\\");
    ASSERT_EQ(GetFileAttributesW(temp.c_str()), INVALID_FILE_ATTRIBUTES);
    RunningProgram program = StartProgram(install_.Program(), arguments);
    EXPECT_TRUE(WaitUntil([&] { return FindWindowW(kTrayClass, kTrayClass) != nullptr; }));
    const DWORD attributes = GetFileAttributesW(temp.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << testing::PrintToString(std::wstring(arguments));
  }
}

}  // namespace
