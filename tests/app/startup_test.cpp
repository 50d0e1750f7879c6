// The real program in a throw-away install directory under Wine, with
// stand-in shells that record their command lines.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/app_test_environment.h"
#include "tests/support/wine_support.h"

namespace {

constexpr DWORD kSecondCopyExitCode = 0xFFFFFFFF;  // -1
constexpr wchar_t kDefaultHome[] = L"http://www.zenquilo.example/";

std::wstring HomeParameters(const std::wstring& address, const std::wstring& shortDirectory) {
  return L" --url=" + address + L"  --enable-media-stream --enable-file-cookies --cache-path=\"" + shortDirectory +
         L"cache\\sc\"";
}

std::wstring LiveSwitches(const std::wstring& shortDirectory) {
  return L" --enable-media-stream --enable-file-cookies --cache-path=\"" + shortDirectory + L"cache\\live\"";
}

class StartupTest : public testing::Test {
 protected:
  explicit StartupTest(const std::wstring& directoryName = L"zq startup")
      : install_(g_buildDirectory, directoryName), shortDirectory_(ShortPathOf(install_.Path())) {}

  // The command line that the stand-in recorded, as ShellExecuteW builds it:
  // the quoted executable, one blank, then our parameters unchanged.
  std::wstring Expected(const std::wstring& executable, const std::wstring& parameters) const {
    return L"\"" + executable + L"\" " + parameters;
  }

  bool WaitForLearningStarts(size_t count) {
    return WaitUntil([&] { return install_.LearningStarts().size() >= count; });
  }
  bool WaitForLiveStarts(size_t count) {
    return WaitUntil([&] { return install_.LiveStarts().size() >= count; });
  }

  // A resident copy that opened nothing, so the cases below run as second copies.
  RunningProgram StartResidentWithoutShell() {
    RunningProgram resident = StartProgram(install_.Program(), L"--stay");
    EXPECT_FALSE(resident.WaitForExit(1000, nullptr)) << "a copy with another command line stays resident";
    EXPECT_TRUE(install_.LearningStarts().empty());
    EXPECT_TRUE(install_.LiveStarts().empty());
    return resident;
  }

  // Runs a second copy to its end and returns its exit code.
  DWORD RunSecondCopy(const std::wstring& arguments) {
    RunningProgram copy = StartProgram(install_.Program(), arguments);
    DWORD exitCode = 0;
    EXPECT_TRUE(copy.WaitForExit(20000, &exitCode)) << "a second copy must end";
    return exitCode;
  }

  InstallDirectory install_;
  std::wstring shortDirectory_;
};

TEST_F(StartupTest, PlainStartOpensTheLearningShellAndStaysResident) {
  ASSERT_FALSE(shortDirectory_.empty());
  RunningProgram first = StartProgram(install_.Program(), L"");
  ASSERT_TRUE(WaitForLearningStarts(1)) << "no learning shell started";

  const std::vector<ShellStart> starts = install_.LearningStarts();
  EXPECT_EQ(starts[0].commandLine, Expected(install_.LearningShell(), HomeParameters(kDefaultHome, shortDirectory_)));
  EXPECT_TRUE(install_.LiveStarts().empty());
  EXPECT_FALSE(first.WaitForExit(1000, nullptr)) << "the first copy must stay resident";
  EXPECT_TRUE(IsProcessRunning(starts[0].pid));

  // A second plain start relaunches the learning shell, then ends with -1.
  EXPECT_EQ(RunSecondCopy(L""), kSecondCopyExitCode);
  ASSERT_TRUE(WaitForLearningStarts(2));
  const std::vector<ShellStart> after = install_.LearningStarts();
  EXPECT_TRUE(WaitUntil([&] { return !IsProcessRunning(starts[0].pid); })) << "the old shell must be terminated";
  EXPECT_TRUE(IsProcessRunning(after[1].pid));
  EXPECT_EQ(after[1].commandLine, after[0].commandLine);
  EXPECT_TRUE(first.IsRunning()) << "the first copy goes on unchanged";
}

// Shells of the other architecture (a 32-bit client on 64-bit Windows, or a
// 64-bit client with 32-bit shells). Catches running shells that the client
// cannot see or end.
TEST_F(StartupTest, ShellsOfTheOtherArchitectureAreReplaced) {
  const std::string why = WhyOtherArchitectureCannotRun();
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_FALSE(g_peerBuildDirectory.empty()) << "give the other architecture's build directory (test.sh builds both)";
  install_.CopyIn(g_peerBuildDirectory + L"\\fixtures\\zenquilo.exe", L"zenquilo.exe");
  install_.CopyIn(g_peerBuildDirectory + L"\\fixtures\\zenquilo_live.exe", L"zenquilo_live.exe");
  RunningProgram learning = StartProgram(install_.LearningShell(), L"");
  RunningProgram live = StartProgram(install_.LiveShell(), L"");
  ASSERT_TRUE(WaitForLearningStarts(1));
  ASSERT_TRUE(WaitForLiveStarts(1));
  ASSERT_TRUE(IsOtherArchitecture(learning.pid()));

  RunningProgram first = StartProgram(install_.Program(), L"");
  ASSERT_TRUE(WaitForLearningStarts(2));
  EXPECT_TRUE(learning.WaitForExit(10000, nullptr)) << "the other architecture's learning shell";
  EXPECT_EQ(RunSecondCopy(L"kvts://zenquilo/room?id=1"), kSecondCopyExitCode);
  ASSERT_TRUE(WaitForLiveStarts(2));
  EXPECT_TRUE(live.WaitForExit(10000, nullptr)) << "the other architecture's live shell";
  EXPECT_TRUE(IsOtherArchitecture(install_.LearningStarts()[1].pid)) << "the new shell is the installed one";
}

TEST_F(StartupTest, HomeAddressComesFromTheSettingsFile) {
  struct Case {
    const char* ini;
    std::wstring address;
  };
  const Case cases[] = {
      {"[global]\r\nURL_HOME_PACKAGE=http://learn.example/home?a=1 b\r\n", L"http://learn.example/home?a=1 b"},
      {"[other]\r\nURL_HOME_PACKAGE=http://other.example/\r\n", kDefaultHome},
      {"[global]\r\nURL_HOME_PACKAGE=\r\n", L""},
  };
  size_t expectedStarts = 0;
  for (const Case& c : cases) {
    install_.WriteFileBytes(L"zenquilostudent.ini", c.ini);
    RunningProgram program = StartProgram(install_.Program(), L"");
    ASSERT_TRUE(WaitForLearningStarts(++expectedStarts)) << c.ini;
    EXPECT_EQ(install_.LearningStarts().back().commandLine,
              Expected(install_.LearningShell(), HomeParameters(c.address, shortDirectory_)))
        << c.ini;
  }

  install_.WriteFileBytes(L"zenquilostudent.ini",
                          "[global]\r\nURL_HOME_PACKAGE=http://x.example/" + std::string(300 - 17, 'p') + "\r\n");
  RunningProgram program = StartProgram(install_.Program(), L"");
  ASSERT_TRUE(WaitForLearningStarts(++expectedStarts));
  const std::wstring address = L"http://x.example/" + std::wstring(259 - 17, L'p');
  EXPECT_EQ(install_.LearningStarts().back().commandLine,
            Expected(install_.LearningShell(), HomeParameters(address, shortDirectory_)));
}

TEST_F(StartupTest, LinkReplacesTheRunningLiveShellAndLeavesTheLearningShell) {
  RunningProgram learning = StartProgram(install_.LearningShell(), L"");
  RunningProgram oldLive = StartProgram(install_.LiveShell(), L"");
  ASSERT_TRUE(WaitForLearningStarts(1));
  ASSERT_TRUE(WaitForLiveStarts(1));

  RunningProgram program = StartProgram(install_.Program(), L"kvts://zenquilo/room?id=7&t=x");
  ASSERT_TRUE(WaitForLiveStarts(2));
  EXPECT_EQ(install_.LiveStarts()[1].commandLine,
            Expected(install_.LiveShell(), L"--zenquilo/room?id=7&t=x" + LiveSwitches(shortDirectory_)));
  EXPECT_TRUE(oldLive.WaitForExit(10000, nullptr)) << "the running live shell must be terminated";
  EXPECT_TRUE(learning.IsRunning()) << "a link leaves the learning shell alone";
  EXPECT_EQ(install_.LearningStarts().size(), 1u) << "a link opens no learning shell";
  EXPECT_FALSE(program.WaitForExit(500, nullptr)) << "the first copy stays resident";
}

TEST_F(StartupTest, SecondCopiesActOnTheirLinks) {
  RunningProgram resident = StartResidentWithoutShell();

  // No host word: nothing at all happens, a running live shell stays.
  RunningProgram live = StartProgram(install_.LiveShell(), L"");
  ASSERT_TRUE(WaitForLiveStarts(1));
  EXPECT_EQ(RunSecondCopy(L"kvts://room/7"), kSecondCopyExitCode);
  EXPECT_TRUE(live.IsRunning());

  // A capital scheme terminates the live shell but opens none.
  EXPECT_EQ(RunSecondCopy(L"KVTS://zenquilo/room"), kSecondCopyExitCode);
  EXPECT_TRUE(live.WaitForExit(10000, nullptr));
  EXPECT_EQ(install_.LiveStarts().size(), 1u);

  // Two schemes: only the first is replaced.
  EXPECT_EQ(RunSecondCopy(L"kvts://zenquilo/a?next=kvts://b"), kSecondCopyExitCode);
  ASSERT_TRUE(WaitForLiveStarts(2));
  EXPECT_EQ(install_.LiveStarts()[1].commandLine,
            Expected(install_.LiveShell(), L"--zenquilo/a?next=kvts://b" + LiveSwitches(shortDirectory_)));

  // A quoted link keeps its quotes; the shell before it is terminated.
  EXPECT_EQ(RunSecondCopy(L"\"kvts://zenquilo/room?id=8\""), kSecondCopyExitCode);
  ASSERT_TRUE(WaitForLiveStarts(3));
  const std::vector<ShellStart> starts = install_.LiveStarts();
  EXPECT_EQ(starts[2].commandLine,
            Expected(install_.LiveShell(), L"\"--zenquilo/room?id=8\"" + LiveSwitches(shortDirectory_)));
  EXPECT_TRUE(WaitUntil([&] { return !IsProcessRunning(starts[1].pid); }));

  EXPECT_TRUE(install_.LearningStarts().empty()) << "links never open the learning shell";
  EXPECT_TRUE(resident.IsRunning());
}

TEST_F(StartupTest, ALinkCannotAddSwitchesToTheLiveShell) {
  RunningProgram resident = StartResidentWithoutShell();
  const wchar_t* links[] = {
      L"kvts://zenquilo/room --remote-debugging-port=9222",
      L"\"kvts://zenquilo/room\" --remote-debugging-port=9222",
      L"\"kvts://zenquilo/room\\\" --remote-debugging-port=9222 \\\"x\\\\\"",
  };
  size_t count = 0;
  for (const wchar_t* link : links) {
    EXPECT_EQ(RunSecondCopy(link), kSecondCopyExitCode);
    ASSERT_TRUE(WaitForLiveStarts(++count)) << testing::PrintToString(std::wstring(link));
    const std::vector<std::wstring> arguments = SplitArguments(install_.LiveStarts().back().commandLine);
    ASSERT_EQ(arguments.size(), 5u) << testing::PrintToString(install_.LiveStarts().back().commandLine);
    EXPECT_NE(arguments[1].find(L"--zenquilo/room"), std::wstring::npos);
    EXPECT_EQ(arguments[1].find(L"--remote-debugging-port=9222"), arguments[1].find(L"%20") + 3);
    EXPECT_EQ(arguments[2], L"--enable-media-stream");
    EXPECT_EQ(arguments[3], L"--enable-file-cookies");
    EXPECT_EQ(arguments[4], L"--cache-path=" + shortDirectory_ + L"cache\\live");
  }
}

TEST_F(StartupTest, OtherCommandLinesOpenNothingButBlanksArePlainStarts) {
  RunningProgram resident = StartResidentWithoutShell();
  EXPECT_EQ(RunSecondCopy(L"hello"), kSecondCopyExitCode);
  EXPECT_TRUE(install_.LearningStarts().empty());
  EXPECT_TRUE(install_.LiveStarts().empty());

  // The C runtime skips the blanks after the program name, so the program
  // itself sees an empty command line: a plain start.
  EXPECT_EQ(RunSecondCopy(L"   "), kSecondCopyExitCode);
  EXPECT_TRUE(WaitForLearningStarts(1));
}

TEST_F(StartupTest, HugeCommandLinesAreHandled) {
  RunningProgram resident = StartResidentWithoutShell();
  // Windows limits a command line to 32767 characters with the program name.
  std::wstring junk(30000, L'x');
  EXPECT_EQ(RunSecondCopy(junk), kSecondCopyExitCode);
  EXPECT_TRUE(install_.LiveStarts().empty());

  std::wstring link = L"kvts://zenquilo/" + std::wstring(30000, L'a');
  EXPECT_EQ(RunSecondCopy(link), kSecondCopyExitCode);
  ASSERT_TRUE(WaitForLiveStarts(1));
  EXPECT_EQ(install_.LiveStarts()[0].commandLine,
            Expected(install_.LiveShell(), L"--zenquilo/" + std::wstring(30000, L'a') + LiveSwitches(shortDirectory_)));
  EXPECT_TRUE(resident.IsRunning());
}

class StartupInUnusualDirectoryTest : public StartupTest {
 protected:
  StartupInUnusualDirectoryTest() : StartupTest(L"Zenquilo \x5B66\x4E60 \x4E2D\x5FC3") {}
};

TEST_F(StartupInUnusualDirectoryTest, ShellsGetTheShortCachePath) {
  ASSERT_NE(install_.Path().find(L'\x5B66'), std::wstring::npos);
  ASSERT_FALSE(shortDirectory_.empty());
  EXPECT_EQ(shortDirectory_.find(L' '), std::wstring::npos);

  RunningProgram program = StartProgram(install_.Program(), L"");
  ASSERT_TRUE(WaitForLearningStarts(1));
  EXPECT_EQ(install_.LearningStarts()[0].commandLine,
            Expected(install_.LearningShell(), HomeParameters(kDefaultHome, shortDirectory_)));

  EXPECT_EQ(RunSecondCopy(L"kvts://zenquilo/live"), kSecondCopyExitCode);
  ASSERT_TRUE(WaitForLiveStarts(1));
  EXPECT_EQ(install_.LiveStarts()[0].commandLine,
            Expected(install_.LiveShell(), L"--zenquilo/live" + LiveSwitches(shortDirectory_)));
}

}  // namespace
