// Reads the resources back out of the built ZenquiloStudent.exe, the way Windows,
// Explorer and the program itself will: the icons, the progress dialog (as bytes
// and as a real window), the version block and the manifest.
//
//   resources_tests [GoogleTest flags] PROGRAM ARCHITECTURE
//
// PROGRAM may be a Linux path (ctest passes one); under Wine it is reached through Z:.
// ARCHITECTURE (x86_64 or x86) is the one PROGRAM was built for. The program is
// only read, so a 64-bit reader checks a 32-bit program as well, on machines
// that cannot run it.

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dialog_template.h"
#include "resource.h"

namespace {

constexpr WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
constexpr int kIconSize = 128;

std::wstring g_programPath;
std::string g_architecture;  // x86_64 or x86
HMODULE g_program = nullptr;

std::wstring ToWindowsPath(std::wstring path) {
  if (path.empty() || path[0] != L'/') return path;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return L"Z:" + path;
}

struct Bytes {
  const std::uint8_t* data = nullptr;
  DWORD size = 0;
};

Bytes Load(HRSRC found) {
  Bytes bytes;
  if (found == nullptr) return bytes;
  HGLOBAL loaded = LoadResource(g_program, found);
  if (loaded == nullptr) return bytes;
  bytes.data = static_cast<const std::uint8_t*>(LockResource(loaded));
  bytes.size = bytes.data != nullptr ? SizeofResource(g_program, found) : 0;
  return bytes;
}

Bytes ResourceBytes(LPCWSTR type, LPCWSTR name) {
  return Load(FindResourceW(g_program, name, type));
}

Bytes ResourceBytes(LPCWSTR type, LPCWSTR name, WORD language) {
  return Load(FindResourceExW(g_program, type, name, language));
}

// ---------------------------------------------------------------------------
// Icons

#pragma pack(push, 2)
struct GroupIconHeader {
  WORD reserved;
  WORD type;
  WORD count;
};
struct GroupIconEntry {
  BYTE width;
  BYTE height;
  BYTE colorCount;
  BYTE reserved;
  WORD planes;
  WORD bitCount;
  DWORD bytesInRes;
  WORD id;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "GRPICONDIRENTRY is 14 bytes");

struct IconImage {
  GroupIconEntry entry{};
  BITMAPINFOHEADER header{};
  Bytes image;
  // Bottom-up rows: BGRA pixels, then the 1-bit AND mask padded to 32 bits.
  const std::uint8_t* colour = nullptr;
  const std::uint8_t* mask = nullptr;

  std::uint8_t AlphaAt(int x, int y) const { return colour[((kIconSize - 1 - y) * kIconSize + x) * 4 + 3]; }
  bool MaskedAt(int x, int y) const {
    return (mask[(kIconSize - 1 - y) * (kIconSize / 8) + x / 8] & (0x80 >> (x % 8))) != 0;
  }
};

constexpr DWORD kColourBytes = kIconSize * kIconSize * 4;
constexpr DWORD kMaskBytes = kIconSize * (kIconSize / 8);

// The one image of an icon group, in the BMP-in-ICO form that every LoadIconW reads.
::testing::AssertionResult ReadIcon(int groupId, IconImage* icon) {
  Bytes group = ResourceBytes(RT_GROUP_ICON, MAKEINTRESOURCEW(groupId));
  if (group.data == nullptr) {
    return ::testing::AssertionFailure() << "no RT_GROUP_ICON " << groupId;
  }
  if (group.size < sizeof(GroupIconHeader)) {
    return ::testing::AssertionFailure() << "RT_GROUP_ICON " << groupId << " is " << group.size << " bytes";
  }
  GroupIconHeader header;
  std::memcpy(&header, group.data, sizeof header);
  if (header.reserved != 0 || header.type != 1 || header.count != 1 ||
      group.size != sizeof header + sizeof(GroupIconEntry)) {
    return ::testing::AssertionFailure() << "RT_GROUP_ICON " << groupId << ": type " << header.type << ", "
                                         << header.count << " images, " << group.size
                                         << " bytes; expected one icon image";
  }
  std::memcpy(&icon->entry, group.data + sizeof header, sizeof icon->entry);
  icon->image = ResourceBytes(RT_ICON, MAKEINTRESOURCEW(icon->entry.id));
  if (icon->image.data == nullptr) {
    return ::testing::AssertionFailure() << "RT_GROUP_ICON " << groupId << " names RT_ICON " << icon->entry.id
                                         << ", which is missing";
  }
  if (icon->image.size != sizeof(BITMAPINFOHEADER) + kColourBytes + kMaskBytes) {
    return ::testing::AssertionFailure() << "RT_ICON " << icon->entry.id << " is " << icon->image.size
                                         << " bytes, not a header, 128x128 BGRA pixels and a 1-bit mask";
  }
  std::memcpy(&icon->header, icon->image.data, sizeof icon->header);
  icon->colour = icon->image.data + sizeof(BITMAPINFOHEADER);
  icon->mask = icon->colour + kColourBytes;
  return ::testing::AssertionSuccess();
}

class ProgramIcon : public ::testing::TestWithParam<int> {};

TEST_P(ProgramIcon, IsOne128PixelImageWith32BitsPerPixel) {
  IconImage icon;
  ASSERT_TRUE(ReadIcon(GetParam(), &icon));
  // The group directory is what LoadIconW chooses by; a wrong size or depth there
  // makes Windows pick or scale the image wrongly even when the bitmap is right.
  EXPECT_EQ(icon.entry.width, kIconSize);
  EXPECT_EQ(icon.entry.height, kIconSize);
  EXPECT_EQ(icon.entry.colorCount, 0);
  EXPECT_EQ(icon.entry.planes, 1);
  EXPECT_EQ(icon.entry.bitCount, 32);
  EXPECT_EQ(icon.entry.bytesInRes, icon.image.size);

  EXPECT_EQ(icon.header.biSize, sizeof(BITMAPINFOHEADER));
  EXPECT_EQ(icon.header.biWidth, kIconSize);
  EXPECT_EQ(icon.header.biHeight, 2 * kIconSize) << "an icon DIB counts the mask in its height";
  EXPECT_EQ(icon.header.biPlanes, 1);
  EXPECT_EQ(icon.header.biBitCount, 32);
  EXPECT_EQ(icon.header.biCompression, static_cast<DWORD>(BI_RGB));
}

TEST_P(ProgramIcon, MaskAndAlphaAgreeOnWhatIsTransparent) {
  IconImage icon;
  ASSERT_TRUE(ReadIcon(GetParam(), &icon));
  // The corners lie outside the rounded tile, the centre inside it.
  EXPECT_EQ(icon.AlphaAt(0, 0), 0);
  EXPECT_TRUE(icon.MaskedAt(0, 0));
  EXPECT_EQ(icon.AlphaAt(kIconSize - 1, kIconSize - 1), 0);
  EXPECT_EQ(icon.AlphaAt(kIconSize / 2, kIconSize / 2), 255);
  EXPECT_FALSE(icon.MaskedAt(kIconSize / 2, kIconSize / 2));
  // Code that ignores alpha draws through the mask: a mask out of step with the
  // alpha shows as black boxes or holes.
  int disagreements = 0;
  for (int y = 0; y < kIconSize; ++y) {
    for (int x = 0; x < kIconSize; ++x) {
      if (icon.MaskedAt(x, y) != (icon.AlphaAt(x, y) == 0)) ++disagreements;
    }
  }
  EXPECT_EQ(disagreements, 0);
}

TEST_P(ProgramIcon, LoadsAsAnIconAtFullAndNotificationAreaSize) {
  for (int size : {kIconSize, 16}) {
    SCOPED_TRACE(size);
    HICON handle = static_cast<HICON>(LoadImageW(g_program, MAKEINTRESOURCEW(GetParam()), IMAGE_ICON, size, size, 0));
    ASSERT_NE(handle, nullptr) << "LoadImageW failed: " << GetLastError();
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(handle, &info));
    EXPECT_TRUE(info.fIcon);
    BITMAP colour{};
    ASSERT_NE(info.hbmColor, nullptr);
    ASSERT_NE(GetObjectW(info.hbmColor, sizeof colour, &colour), 0);
    EXPECT_EQ(colour.bmWidth, size);
    EXPECT_EQ(colour.bmHeight, size);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(handle);
  }
}

INSTANTIATE_TEST_SUITE_P(AppAndDialog, ProgramIcon, ::testing::Values(IDI_APP, IDI_DIALOG));

TEST(ProgramIcons, DialogIconIsAVariantNotACopyOfTheAppIcon) {
  IconImage app, dialog;
  ASSERT_TRUE(ReadIcon(IDI_APP, &app));
  ASSERT_TRUE(ReadIcon(IDI_DIALOG, &dialog));
  EXPECT_NE(std::memcmp(app.colour, dialog.colour, kColourBytes), 0);
}

// ---------------------------------------------------------------------------
// The progress dialog as stored

constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFONT | DS_SYSMODAL;
static_assert(kDialogStyle == 0x80C80842, "the dialog's style bits");

// Win32's calling convention (stdcall on x86), which a lambda does not have.
BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
  return TRUE;
}

std::vector<WORD> Languages(LPCWSTR type, LPCWSTR name) {
  std::vector<WORD> languages;
  EnumResourceLanguagesW(g_program, type, name, &CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
  return languages;
}

class ProgressDialogTemplate : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes_ = ResourceBytes(RT_DIALOG, MAKEINTRESOURCEW(IDD_PROGRESS), kChinesePrc);
    ASSERT_NE(bytes_.data, nullptr) << "no RT_DIALOG " << IDD_PROGRESS << " in language 0x0804";
    std::string error;
    auto parsed = ParseDialogTemplateEx(bytes_.data, bytes_.size, &error);
    ASSERT_TRUE(parsed.has_value()) << error;
    dialog_ = *parsed;
  }

  Bytes bytes_;
  DialogTemplateEx dialog_;
};

TEST_F(ProgressDialogTemplate, ExistsInChinesePrcOnly) {
  // A second copy in another language would be the one an English Windows shows.
  EXPECT_EQ(Languages(RT_DIALOG, MAKEINTRESOURCEW(IDD_PROGRESS)), std::vector<WORD>{kChinesePrc});
}

TEST_F(ProgressDialogTemplate, HeaderIsAHiddenTopmostSystemModalBox) {
  EXPECT_EQ(dialog_.helpId, 0u);
  EXPECT_EQ(dialog_.exStyle, static_cast<std::uint32_t>(WS_EX_TOPMOST));
  EXPECT_EQ(dialog_.style, kDialogStyle);
  EXPECT_EQ(dialog_.style & WS_VISIBLE, 0u) << "the program decides when the dialog shows";
  EXPECT_EQ(dialog_.x, 0);
  EXPECT_EQ(dialog_.y, 0);
  EXPECT_EQ(dialog_.cx, 312);
  EXPECT_EQ(dialog_.cy, 84);
  EXPECT_FALSE(dialog_.menu.isOrdinal);
  EXPECT_EQ(dialog_.menu.name, L"") << "no menu";
  EXPECT_FALSE(dialog_.windowClass.isOrdinal);
  EXPECT_EQ(dialog_.windowClass.name, L"") << "the default dialog class";
  EXPECT_EQ(dialog_.title, L"Zenquilo直播课堂");
}

TEST_F(ProgressDialogTemplate, FontIsMicrosoftSansSerif9) {
  ASSERT_TRUE(dialog_.hasFont);
  EXPECT_EQ(dialog_.pointSize, 9);
  EXPECT_EQ(dialog_.weight, 400);
  EXPECT_EQ(dialog_.italic, 0);
  // Charset 0 (ANSI); resource compilers default an omitted charset to 1.
  EXPECT_EQ(dialog_.charset, 0);
  EXPECT_EQ(dialog_.typeface, L"Microsoft Sans Serif");
}

TEST_F(ProgressDialogTemplate, HasExactlyTheTwoControlsAndNothingAfterThem) {
  EXPECT_EQ(dialog_.items.size(), 2u);
  // Trailing bytes would mean a count that hides a control, or a broken layout.
  EXPECT_LT(bytes_.size - dialog_.bytesUsed, 4u) << bytes_.size << " bytes, parsed " << dialog_.bytesUsed;
}

TEST_F(ProgressDialogTemplate, FirstControlIsAMarqueeProgressBarByClassName) {
  ASSERT_GE(dialog_.items.size(), 1u);
  const DialogItemTemplate& bar = dialog_.items[0];
  EXPECT_EQ(bar.helpId, 0u);
  EXPECT_EQ(bar.exStyle, 0u);
  EXPECT_EQ(bar.style, static_cast<std::uint32_t>(WS_CHILD | WS_VISIBLE | PBS_SMOOTH | PBS_MARQUEE));
  EXPECT_EQ(bar.style, 0x50000009u);
  EXPECT_EQ(bar.x, 7);
  EXPECT_EQ(bar.y, 37);
  EXPECT_EQ(bar.cx, 298);
  EXPECT_EQ(bar.cy, 19);
  EXPECT_EQ(bar.id, 0xFFFFFFFFu);
  EXPECT_FALSE(bar.windowClass.isOrdinal) << "comctl32 classes have no predefined ordinal";
  EXPECT_EQ(bar.windowClass.name, L"msctls_progress32");
  EXPECT_FALSE(bar.title.isOrdinal);
  EXPECT_EQ(bar.title.name, L"");
  EXPECT_EQ(bar.extraCount, 0);
}

TEST_F(ProgressDialogTemplate, SecondControlIsTheStatusLineByStaticOrdinal) {
  ASSERT_GE(dialog_.items.size(), 2u);
  const DialogItemTemplate& text = dialog_.items[1];
  EXPECT_EQ(text.helpId, 0u);
  EXPECT_EQ(text.exStyle, 0u);
  EXPECT_EQ(text.style, static_cast<std::uint32_t>(WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFTNOWORDWRAP));
  EXPECT_EQ(text.style, 0x5002000Cu);
  EXPECT_EQ(text.x, 7);
  EXPECT_EQ(text.y, 25);
  EXPECT_EQ(text.cx, 118);
  EXPECT_EQ(text.cy, 8);
  EXPECT_EQ(text.id, static_cast<std::uint32_t>(IDC_STATUS_TEXT));
  EXPECT_TRUE(text.windowClass.isOrdinal);
  EXPECT_EQ(text.windowClass.ordinal, 0x0082) << "the predefined static class";
  EXPECT_FALSE(text.title.isOrdinal);
  EXPECT_EQ(text.title.name, L"正在获取最新文件");
  EXPECT_EQ(text.extraCount, 0);
}

// ---------------------------------------------------------------------------
// The progress dialog as a window

INT_PTR CALLBACK QuietDialogProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

class ProgressDialogWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
    dialog_ = CreateDialogParamW(g_program, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, QuietDialogProc, 0);
    ASSERT_NE(dialog_, nullptr) << "CreateDialogParamW failed: " << GetLastError();
  }
  void TearDown() override {
    if (dialog_ != nullptr) DestroyWindow(dialog_);
  }

  HWND dialog_ = nullptr;
};

TEST_F(ProgressDialogWindow, IsCreatedHiddenAndTopmostWithItsCaption) {
  EXPECT_FALSE(IsWindowVisible(dialog_));
  EXPECT_NE(GetWindowLongW(dialog_, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
  wchar_t caption[64] = {};
  GetWindowTextW(dialog_, caption, 64);
  EXPECT_EQ(std::wstring(caption), L"Zenquilo直播课堂");
}

TEST_F(ProgressDialogWindow, ControlMinusOneIsAMarqueeProgressBar) {
  HWND bar = GetDlgItem(dialog_, -1);
  ASSERT_NE(bar, nullptr);
  wchar_t className[64] = {};
  GetClassNameW(bar, className, 64);
  EXPECT_EQ(std::wstring(className), L"msctls_progress32");
  EXPECT_NE(GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE, 0);
}

TEST_F(ProgressDialogWindow, StatusLineReadsBackItsChineseText) {
  wchar_t text[64] = {};
  EXPECT_EQ(GetDlgItemTextW(dialog_, IDC_STATUS_TEXT, text, 64), 8u);
  EXPECT_EQ(std::wstring(text), L"正在获取最新文件");
}

// ---------------------------------------------------------------------------
// Version block

class VersionBlock : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(g_programPath.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version block: " << GetLastError();
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(g_programPath.c_str(), 0, size, block_.data()));
  }

  const void* Query(const wchar_t* path, UINT* length) {
    void* value = nullptr;
    *length = 0;
    if (!VerQueryValueW(block_.data(), path, &value, length)) return nullptr;
    return value;
  }

  std::vector<std::uint8_t> block_;
};

TEST_F(VersionBlock, FileAndProductVersionsAre1_0_0_1) {
  UINT length = 0;
  auto fixed = static_cast<const VS_FIXEDFILEINFO*>(Query(L"\\", &length));
  ASSERT_NE(fixed, nullptr);
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST_F(VersionBlock, TranslationIsChinesePrcUnicode) {
  UINT length = 0;
  auto translation = static_cast<const WORD*>(Query(L"\\VarFileInfo\\Translation", &length));
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0804);
  EXPECT_EQ(translation[1], 1200);
}

TEST_F(VersionBlock, ChinesePrcStringTableHasEveryValue) {
  struct Expected {
    const wchar_t* key;
    const wchar_t* value;
  };
  const Expected expected[] = {
      {L"FileDescription", L"Zenquilo学习中心"},
      {L"FileVersion", L"1.0.0.1"},
      {L"ProductVersion", L"1.0.0.1"},
      {L"ProductName", L"Zenquilo教育"},
      {L"OriginalFilename", L"ZenquiloStudent.exe"},
      {L"InternalName", L"ZenquiloStudent"},
      {L"CompanyName", L"Zenquilo"},
  };
  for (const Expected& e : expected) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + e.key;
    SCOPED_TRACE(::testing::PrintToString(path));
    UINT length = 0;
    auto value = static_cast<const wchar_t*>(Query(path.c_str(), &length));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::wstring(value), e.value);
  }
}

// ---------------------------------------------------------------------------
// The image

// The machine field of the PE file header, read from the file: a build whose
// toolchain or flags went astray yields a program of the wrong machine.
WORD ImageMachine() {
  std::string bytes;
  HANDLE file = CreateFileW(g_programPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  char buffer[4096];
  DWORD read = 0;
  if (ReadFile(file, buffer, sizeof buffer, &read, nullptr)) bytes.assign(buffer, read);
  CloseHandle(file);
  if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0) return 0;
  std::uint32_t header = 0;
  std::memcpy(&header, bytes.data() + 0x3C, sizeof header);
  if (header > bytes.size() - 6 || bytes.compare(header, 4, std::string("PE\0\0", 4)) != 0) return 0;
  WORD machine = 0;
  std::memcpy(&machine, bytes.data() + header + 4, sizeof machine);
  return machine;
}

TEST(Image, MachineIsTheArchitectureItWasBuiltFor) {
  const WORD expected = g_architecture == "x86" ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
  EXPECT_EQ(ImageMachine(), expected) << "built for " << g_architecture;
}

// ---------------------------------------------------------------------------
// Manifest

struct ManifestEntry {
  bool isId;
  ULONG_PTR id;
  WORD language;
};

BOOL CALLBACK CollectManifestId(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
  // A named manifest is counted too, as id 0.
  reinterpret_cast<std::vector<ULONG_PTR>*>(param)->push_back(IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name)
                                                                                   : 0);
  return TRUE;
}

std::vector<ManifestEntry> Manifests() {
  std::vector<ULONG_PTR> ids;
  std::vector<ManifestEntry> entries;
  EnumResourceNamesW(g_program, RT_MANIFEST, &CollectManifestId, reinterpret_cast<LONG_PTR>(&ids));
  for (ULONG_PTR id : ids) {
    if (id == 0) {
      entries.push_back({false, 0, 0});
      continue;
    }
    for (WORD language : Languages(RT_MANIFEST, MAKEINTRESOURCEW(id))) {
      entries.push_back({true, id, language});
    }
  }
  return entries;
}

std::string ManifestText() {
  Bytes bytes = ResourceBytes(RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID);
  return bytes.data == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(bytes.data), bytes.size);
}

TEST(Manifest, ExactlyOneWithTheProcessManifestId) {
  // The toolchain can link a default manifest of its own; two manifests leave
  // it to the loader which one applies.
  std::vector<ManifestEntry> entries = Manifests();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].isId);
  EXPECT_EQ(entries[0].id, 1u);
}

TEST(Manifest, RequiresAdministratorWithoutUiAccess) {
  std::string text = ManifestText();
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.find("<requestedExecutionLevel "), std::string::npos) << text;
  EXPECT_NE(text.find("level=\"requireAdministrator\""), std::string::npos) << text;
  EXPECT_NE(text.find("uiAccess=\"false\""), std::string::npos) << text;
}

TEST(Manifest, NamesTheArchitectureOfItsProgram) {
  // Windows may refuse to start a 32-bit program whose manifest claims amd64.
  const std::string expected = g_architecture == "x86" ? "x86" : "amd64";
  std::string text = ManifestText();
  EXPECT_NE(text.find("processorArchitecture=\"" + expected + "\""), std::string::npos) << text;
}

TEST(Manifest, DeclaresWindows7To11AndKeepsTheClassicCommonControls) {
  std::string text = ManifestText();
  ASSERT_FALSE(text.empty());
  for (const char* os : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",     // 7
                         "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",     // 8
                         "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",     // 8.1
                         "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {  // 10 and 11
    EXPECT_NE(text.find(std::string("<supportedOS Id=\"") + os + "\""), std::string::npos) << os;
  }
  // Common controls 6 would change how the progress dialog looks and behaves.
  EXPECT_EQ(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 3 || (std::wstring(argv[2]) != L"x86_64" && std::wstring(argv[2]) != L"x86")) {
    std::fprintf(stderr, "usage: resources_tests [GoogleTest flags] PROGRAM x86_64|x86\n");
    return 2;
  }
  g_programPath = ToWindowsPath(argv[1]);
  g_architecture = std::wstring(argv[2]) == L"x86" ? "x86" : "x86_64";
  // As an image resource: nothing of the program runs, and its manifest is not applied.
  g_program = LoadLibraryExW(g_programPath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (g_program == nullptr) {
    std::fprintf(stderr, "cannot open the program as a resource image: error %lu\n", GetLastError());
    return 1;
  }
  int result = RUN_ALL_TESTS();
  FreeLibrary(g_program);
  return result;
}
