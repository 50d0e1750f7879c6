#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/machine_identity.h"
#include "platform/narrow_file.h"
#include "platform/paths.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "tests/support/wine_support.h"

namespace {

bool DirectoryExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// "中文" in code page 936.
const std::string kChineseNarrow = "\xD6\xD0\xCE\xC4";
const std::wstring kChineseWide = L"\x4E2D\x6587";

// The rollout bucket rests on it: empty parts would put every PC of a school
// in one bucket, and a part that changed between starts would move a PC in
// and out of a staged release.
TEST(MachineIdentity, NamesThisPcAndItsSystemVolumeTheSameEachTime) {
  const std::string identity = MachineIdentity();
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(name, &length));
  const std::string prefix = WideToNarrow(name) + "/";
  ASSERT_EQ(identity.compare(0, prefix.size(), prefix), 0) << identity;
  EXPECT_EQ(identity.size(), prefix.size() + 8) << identity;
  EXPECT_EQ(MachineIdentity(), identity);
}

TEST(ModuleDirectory, IsDriveAndDirectoryWithTrailingBackslash) {
  EXPECT_EQ(ModuleDirectoryFromPath(L"D:\\A\\B\\x.exe"), L"D:\\A\\B\\");
  EXPECT_EQ(ModuleDirectoryFromPath(L"C:\\x.exe"), L"C:\\");
  EXPECT_EQ(ModuleDirectoryFromPath(L"D:\\\x4E2D\x6587 dir\\x.exe"), L"D:\\\x4E2D\x6587 dir\\");

  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring directory = GetModuleDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), L'\\');
  EXPECT_EQ(std::wstring(self).rfind(directory, 0), 0u) << "not a prefix of the module path";
  EXPECT_EQ(std::wstring(self).find(L'\\', directory.size()), std::wstring::npos);
}

TEST(ModuleDirectory, TempDirectoryIsCreatedUnderIt) {
  const std::wstring temp = GetTempDirectory();
  EXPECT_EQ(temp, GetModuleDirectory() + L"temp\\");
  EXPECT_TRUE(DirectoryExists(temp));
}

TEST(TextConversion, UsesCodePage936BothWays) {
  EXPECT_EQ(WideToNarrow(L""), "");
  EXPECT_EQ(NarrowToWide(""), L"");
  EXPECT_EQ(WideToNarrow(kChineseWide), kChineseNarrow);
  EXPECT_EQ(NarrowToWide(kChineseNarrow), kChineseWide);
  const std::wstring mixed = L"bin\\\x5B66\x4E60 x.dll";
  EXPECT_EQ(NarrowToWide(WideToNarrow(mixed)), mixed);
  EXPECT_EQ(WideToNarrow(mixed).size(), mixed.size() + 2);
}

TEST(TextConversion, StopsAtTheFirstZero) {
  EXPECT_EQ(WideToNarrow(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(NarrowToWide(std::string("ab\0cd", 5)), L"ab");
}

TEST(ShortPath, GivesThe83FormOfAnExistingPath) {
  ScratchDirectory scratch(L"zq short path");
  const std::wstring longDirectory = scratch.Path() + L"A Long Directory Name\\";
  ASSERT_TRUE(CreateDirectoryW(longDirectory.c_str(), nullptr));

  const std::wstring shortPath = GetShortPath(longDirectory);
  ASSERT_FALSE(shortPath.empty());
  EXPECT_EQ(shortPath.find(L' '), std::wstring::npos) << testing::PrintToString(shortPath);
  EXPECT_EQ(shortPath.back(), L'\\');
  wchar_t longForm[MAX_PATH] = {};
  GetLongPathNameW(shortPath.c_str(), longForm, MAX_PATH);
  EXPECT_EQ(std::wstring(longForm), longDirectory);

  EXPECT_EQ(GetShortPath(scratch.Path() + L"missing\\"), L"");
}

TEST(MakeDirectoryTree, CreatesTheDirectoriesButNotTheFile) {
  ScratchDirectory scratch(L"zq tree");
  const std::string base = WideToNarrow(scratch.Path());

  EXPECT_EQ(MakeDirectoryTree(base + "A\\B\\c.txt"), 0);
  EXPECT_TRUE(DirectoryExists(scratch.Path() + L"A\\B"));
  EXPECT_FALSE(FileExists(scratch.Path() + L"A\\B\\c.txt"));

  EXPECT_EQ(MakeDirectoryTree(base + "D/E\\F/"), 0);
  EXPECT_TRUE(DirectoryExists(scratch.Path() + L"D\\E\\F"));

  EXPECT_EQ(MakeDirectoryTree(base + "A\\B\\"), 0) << "existing directories are passed over";
}

TEST(MakeDirectoryTree, KeepsChineseNamesWhole) {
  ScratchDirectory scratch(L"zq tree cn");
  // The second byte of 0x81 0x5C is a backslash in a byte-wise reading.
  const std::string trickyNarrow = "\x81\x5C";
  const std::wstring trickyWide = L"\x4E57";
  ASSERT_EQ(NarrowToWide(trickyNarrow), trickyWide);

  EXPECT_EQ(MakeDirectoryTree(WideToNarrow(scratch.Path()) + kChineseNarrow + "\\" + trickyNarrow + "\\x.dll"), 0);
  EXPECT_TRUE(DirectoryExists(scratch.Path() + kChineseWide + L"\\" + trickyWide));
}

TEST(MakeDirectoryTree, RefusesOverlongPathsAndReportsFailures) {
  ScratchDirectory scratch(L"zq tree long");
  const std::string base = WideToNarrow(scratch.Path());
  std::string longPath = base + "first\\";
  longPath.append(260 - longPath.size(), 'x');
  ASSERT_EQ(longPath.size(), 260u);
  EXPECT_EQ(MakeDirectoryTree(longPath), -1);
  EXPECT_FALSE(DirectoryExists(scratch.Path() + L"first")) << "nothing is created for an overlong path";

  scratch.WriteFileBytes(L"blocker", "a file where a directory should be");
  EXPECT_EQ(MakeDirectoryTree(base + "blocker\\sub\\"), -1);
}

TEST(ReadWholeFile, ReadsTextModeAndGivesEmptyForMissingFiles) {
  ScratchDirectory scratch(L"zq read");
  const std::string base = WideToNarrow(scratch.Path());
  EXPECT_EQ(ReadWholeFile(base + "missing.json"), "");

  scratch.WriteFileBytes(L"crlf.json", "{\r\n  \"version\": \"9\"\r\n}\r\n");
  EXPECT_EQ(ReadWholeFile(base + "crlf.json"), "{\n  \"version\": \"9\"\n}\n");

  const std::string bytes = std::string("\xEF\xBB\xBF", 3) + kChineseNarrow + std::string(5000, 'z');
  scratch.WriteFileBytes(kChineseWide + L".json", bytes);
  EXPECT_EQ(ReadWholeFile(base + kChineseNarrow + ".json"), bytes);
}

TEST(Settings, ReadsSectionGlobalWithDefaults) {
  ScratchDirectory scratch(L"zq settings");
  const std::wstring file = scratch.Path() + L"zenquilostudent.ini";

  EXPECT_EQ(ReadSettingFromFile(file, kSettingsSection, kHomeUrlKey, L"default"), L"default") << "no file";

  scratch.WriteFileBytes(L"zenquilostudent.ini", "[other]\r\nURL_HOME_PACKAGE=http://other.example/\r\n"
                                                 "[global]\r\nURL_UPDATE_PACKAGE=http://u.example/soft/package.json\r\n"
                                                 "URL_HOME_PACKAGE=\r\n");
  EXPECT_EQ(ReadSettingFromFile(file, kSettingsSection, kUpdateUrlKey, L"default"),
            L"http://u.example/soft/package.json");
  EXPECT_EQ(ReadSettingFromFile(file, kSettingsSection, kHomeUrlKey, L"default"), L"")
      << "an empty value is not the default";
  EXPECT_EQ(ReadSettingFromFile(file, L"other", L"MISSING", L"default"), L"default");

  // Edits take effect at the next read.
  const std::string longValue(300, 'v');
  scratch.WriteFileBytes(L"zenquilostudent.ini", "[global]\r\nURL_HOME_PACKAGE=http://a.example/x y\r\n"
                                                 "URL_UPDATE_PACKAGE=" +
                                                     longValue + "\r\n");
  EXPECT_EQ(ReadSettingFromFile(file, kSettingsSection, kHomeUrlKey, L"default"), L"http://a.example/x y");
  EXPECT_EQ(ReadSettingFromFile(file, kSettingsSection, kUpdateUrlKey, L"default"), std::wstring(259, L'v'));
}

TEST(Settings, FileLiesBesideTheExecutable) {
  EXPECT_EQ(SettingsFilePath(), GetModuleDirectory() + L"zenquilostudent.ini");
  EXPECT_EQ(std::wstring(kDefaultUpdateUrl).substr(0, 7), L"http://");
  EXPECT_NE(std::wstring(kDefaultUpdateUrl).find(L"/soft/package.json"), std::wstring::npos);
}

}  // namespace
