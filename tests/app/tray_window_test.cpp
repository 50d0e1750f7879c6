// The tray window and the progress dialog inside this test process: the icon
// record, the menu, the taskbar restart, closing, and the updater's messages.

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "app/app_globals.h"
#include "app/progress_dialog.h"
#include "app/tray_window.h"
#include "resources/resource.h"
#include "tests/support/wine_support.h"
#include "update/update_manager.h"
#include "update/update_messages.h"

HINSTANCE g_instance = nullptr;
HWND g_progressDialog = nullptr;
HWND g_progressBar = nullptr;
UpdateManager g_updateManager(ReleaseTrust::Unsigned());

namespace {

bool IconIsShown() {
  // Only an icon that exists can be modified.
  NOTIFYICONDATAW probe = g_notifyIcon;
  return Shell_NotifyIconW(NIM_MODIFY, &probe) != FALSE;
}

std::wstring MenuText(HMENU menu, UINT position) {
  wchar_t text[128] = {};
  GetMenuStringW(menu, position, text, 128, MF_BYPOSITION);
  return text;
}

class TrayWindowTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_instance = GetModuleHandleW(nullptr);
    ASSERT_TRUE(RegisterTrayWindowClass(g_instance));
  }

  void SetUp() override {
    window_ = CreateTrayWindow(g_instance);
    ASSERT_NE(window_, nullptr);
  }

  void TearDown() override {
    if (IsWindow(window_)) DestroyWindow(window_);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  HWND window_ = nullptr;
};

// The full icon record of each architecture (a smaller, older record would
// lose the newer fields; a 64-bit size on x86 would be refused).
#ifdef _WIN64
constexpr DWORD kFullIconRecordSize = 976;
#else
constexpr DWORD kFullIconRecordSize = 956;
#endif

TEST_F(TrayWindowTest, CreationAddsTheIconWithItsRecord) {
  EXPECT_EQ(g_notifyIcon.cbSize, kFullIconRecordSize);
  EXPECT_EQ(g_notifyIcon.hWnd, window_);
  EXPECT_EQ(g_notifyIcon.uID, 0u);
  EXPECT_EQ(g_notifyIcon.uFlags, 7u);
  EXPECT_EQ(g_notifyIcon.uCallbackMessage, 0x400u);
  EXPECT_NE(g_notifyIcon.hIcon, nullptr);
  EXPECT_EQ(std::wstring(g_notifyIcon.szTip), L"Zenquilo教育");
  EXPECT_TRUE(IconIsShown());
  EXPECT_FALSE(IsWindowVisible(window_)) << "the tray window is never shown";
  EXPECT_TRUE(GetWindowLongW(window_, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
}

TEST_F(TrayWindowTest, MenuHasItsThreeItemsInOrder) {
  ASSERT_TRUE(IsMenu(g_trayMenu));
  ASSERT_EQ(GetMenuItemCount(g_trayMenu), 3);
  EXPECT_EQ(GetMenuItemID(g_trayMenu, 0), static_cast<UINT>(IDM_OPEN_LEARNING_CENTER));
  EXPECT_EQ(GetMenuItemID(g_trayMenu, 0), 128u);
  EXPECT_EQ(MenuText(g_trayMenu, 0), L"Zenquilo教育-学习中心");
  EXPECT_TRUE(GetMenuState(g_trayMenu, 1, MF_BYPOSITION) & MF_SEPARATOR);
  EXPECT_EQ(GetMenuItemID(g_trayMenu, 2), 144u);
  EXPECT_EQ(MenuText(g_trayMenu, 2), L"退出");
}

TEST_F(TrayWindowTest, TaskbarRestartBringsTheIconBackWithAFreshMenu) {
  const HMENU before = g_trayMenu;
  Shell_NotifyIconW(NIM_DELETE, &g_notifyIcon);  // what a taskbar restart loses
  ASSERT_FALSE(IconIsShown());

  SendMessageW(window_, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_TRUE(IconIsShown());
  EXPECT_EQ(std::wstring(g_notifyIcon.szTip), L"Zenquilo教育");
  EXPECT_NE(g_trayMenu, before);
  EXPECT_FALSE(IsMenu(before)) << "the replaced menu is freed";
  EXPECT_EQ(GetMenuItemCount(g_trayMenu), 3);
}

TEST_F(TrayWindowTest, CloseRemovesTheIconAndEndsTheLoop) {
  SendMessageW(window_, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_FALSE(IconIsShown());
  MSG msg = {};
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 0u);
}

TEST_F(TrayWindowTest, IncrementalReadySavesThePendingManifestWithCrLf) {
  ScratchDirectory scratch(L"zq pending");
  g_updateManager.pendingManifestPath = scratch.Path() + L"package.json";
  g_updateManager.remoteManifestText = "{\n  \"version\": \"12\",\n  \"type\": \"force\"\n}";
  g_updateManager.remoteManifest = PackageManifest();

  SendMessageW(window_, kUpdateFailedMessage, 1, 1);
  EXPECT_EQ(GetFileAttributesW(g_updateManager.pendingManifestPath.c_str()), INVALID_FILE_ATTRIBUTES)
      << "a failed update writes nothing";

  SendMessageW(window_, kUpdateReadyMessage, 1, 1);
  EXPECT_EQ(ReadFileBytes(g_updateManager.pendingManifestPath),
            "{\r\n  \"version\": \"12\",\r\n  \"type\": \"force\"\r\n}");
  EXPECT_TRUE(IsWindow(window_)) << "an incremental update leaves the program running";
  EXPECT_TRUE(IconIsShown());
}

TEST(ProgressDialog, IsHiddenWithItsBarAtZero) {
  g_instance = GetModuleHandleW(nullptr);
  const HWND dialog = CreateProgressDialog(g_instance);
  ASSERT_NE(dialog, nullptr);
  ASSERT_NE(g_progressBar, nullptr);
  EXPECT_EQ(g_progressBar, GetDlgItem(dialog, -1));
  wchar_t className[64] = {};
  GetClassNameW(g_progressBar, className, 64);
  EXPECT_EQ(std::wstring(className), L"msctls_progress32");
  EXPECT_EQ(SendMessageW(g_progressBar, PBM_GETPOS, 0, 0), 0);
  EXPECT_FALSE(IsWindowVisible(dialog));
  EXPECT_NE(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0), 0) << "the dialog's small icon is set";

  // The updater's contract: range then position, lower bound 0.
  SendMessageW(g_progressBar, PBM_SETRANGE32, 0, 10);
  SendMessageW(g_progressBar, PBM_SETPOS, 3, 0);
  EXPECT_EQ(SendMessageW(g_progressBar, PBM_GETRANGE, TRUE, 0), 0);
  EXPECT_EQ(SendMessageW(g_progressBar, PBM_GETRANGE, FALSE, 0), 10);
  EXPECT_EQ(SendMessageW(g_progressBar, PBM_GETPOS, 0, 0), 3);
  DestroyWindow(dialog);
}

}  // namespace
