#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <list>

#include "launch/process_killer.h"
#include "tests/support/wine_support.h"

namespace {

std::wstring g_fixtures;      // the build's fixtures directory, as a Wine path
std::wstring g_peerFixtures;  // the other architecture's, or empty

struct Stub {
  std::wstring directory;
  std::wstring name;
  RunningProgram program;
};

class KillProcessesByNameTest : public testing::Test {
 protected:
  KillProcessesByNameTest() : scratch_(L"zq killer") {}

  // Starts a copy of the stand-in shell under the given name, in its own
  // directory, and waits until it runs.
  RunningProgram& Start(const std::wstring& subdirectory, const std::wstring& name,
                        const std::wstring& fixtures = g_fixtures) {
    const std::wstring directory = scratch_.Path() + subdirectory + L"\\";
    CreateDirectoryW(directory.c_str(), nullptr);
    CopyFileW((fixtures + L"zenquilo.exe").c_str(), (directory + name).c_str(), FALSE);
    stubs_.push_back({directory, name, StartProgram(directory + name, L"")});
    const Stub& stub = stubs_.back();
    EXPECT_TRUE(WaitUntil([&] { return !ReadShellStarts(stub.directory, stub.name).empty(); })) << "stub did not start";
    return stubs_.back().program;
  }

  ScratchDirectory scratch_;
  std::list<Stub> stubs_;  // stable addresses: tests hold references
};

bool Ends(RunningProgram& program) {
  DWORD exitCode = 1;
  return program.WaitForExit(10000, &exitCode) && exitCode == 0;
}

TEST_F(KillProcessesByNameTest, EndsEveryMatchInOneCallAndNothingElse) {
  RunningProgram& first = Start(L"a", L"zenquilo.exe");
  RunningProgram& second = Start(L"b", L"zenquilo.exe");
  RunningProgram& capitals = Start(L"c", L"ZENQUILO.EXE");
  RunningProgram& longer = Start(L"d", L"myzenquilo.exe");
  RunningProgram& live = Start(L"e", L"zenquilo_live.exe");

  KillProcessesByName(L"zenquilo.exe");

  EXPECT_TRUE(Ends(first));
  EXPECT_TRUE(Ends(second));
  EXPECT_TRUE(Ends(capitals)) << "letter case must not matter";
  EXPECT_TRUE(Ends(longer)) << "a name that contains the given one matches";
  EXPECT_FALSE(live.WaitForExit(500, nullptr)) << "the live shell does not contain zenquilo.exe";

  KillProcessesByName(L"Zenquilo_Live.EXE");
  EXPECT_TRUE(Ends(live));
}

TEST_F(KillProcessesByNameTest, NoMatchOrEmptyNameEndsNothing) {
  RunningProgram& shell = Start(L"a", L"zenquilo.exe");
  KillProcessesByName(L"no-such-program.exe");
  KillProcessesByName(L"");
  EXPECT_FALSE(shell.WaitForExit(500, nullptr));
}

// A 32-bit program on 64-bit Windows and the reverse: the snapshot lists both
// kinds, and either may end the other.
TEST_F(KillProcessesByNameTest, EndsShellsOfTheOtherArchitecture) {
  const std::string why = WhyOtherArchitectureCannotRun();
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_FALSE(g_peerFixtures.empty()) << "give the other architecture's build directory (test.sh builds both)";
  RunningProgram& peer = Start(L"a", L"zenquilo.exe", g_peerFixtures);
  RunningProgram& own = Start(L"b", L"zenquilo.exe");
  ASSERT_TRUE(IsOtherArchitecture(peer.pid())) << "the stand-in is not of the other architecture";
  ASSERT_FALSE(IsOtherArchitecture(own.pid()));

  KillProcessesByName(L"zenquilo.exe");
  EXPECT_TRUE(Ends(peer)) << "the other architecture's shell";
  EXPECT_TRUE(Ends(own));
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: launch_tests <build directory> [<other architecture's build directory>]\n");
    return 2;
  }
  g_fixtures = WinePathFromUnix(argv[1]) + L"\\fixtures\\";
  if (argc > 2) g_peerFixtures = WinePathFromUnix(argv[2]) + L"\\fixtures\\";
  return RUN_ALL_TESTS();
}
