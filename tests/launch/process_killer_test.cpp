#include "launch/process_killer.h"

#include <gtest/gtest.h>

namespace {

TEST(ExecutableNameMatches, IsCaseInsensitiveContainment) {
  EXPECT_TRUE(ExecutableNameMatches(L"zenquilo.exe", L"zenquilo.exe"));
  EXPECT_TRUE(ExecutableNameMatches(L"ZENQUILO.EXE", L"zenquilo.exe"));
  EXPECT_TRUE(ExecutableNameMatches(L"zenquilo.exe", L"Zenquilo.EXE"));
  EXPECT_TRUE(ExecutableNameMatches(L"myzenquilo.exe.old", L"zenquilo.exe"));
  EXPECT_TRUE(ExecutableNameMatches(L"zenquilo_live.exe", L"zenquilo_live.exe"));
}

TEST(ExecutableNameMatches, KeepsTheShellsAndThisProgramApart) {
  EXPECT_FALSE(ExecutableNameMatches(L"zenquilo_live.exe", L"zenquilo.exe"));
  EXPECT_FALSE(ExecutableNameMatches(L"zenquilo.exe", L"zenquilo_live.exe"));
  EXPECT_FALSE(ExecutableNameMatches(L"ZenquiloStudent.exe", L"zenquilo.exe"));
  EXPECT_FALSE(ExecutableNameMatches(L"ZenquiloStudent.exe", L"zenquilo_live.exe"));
  EXPECT_FALSE(ExecutableNameMatches(L"zenquilo.ex", L"zenquilo.exe"));
}

TEST(ExecutableNameMatches, AnEmptyNameMatchesNothing) {
  EXPECT_FALSE(ExecutableNameMatches(L"explorer.exe", L""));
  EXPECT_FALSE(ExecutableNameMatches(L"", L""));
}

}  // namespace
