#include "launch/dispatch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::wstring kShortDir = L"C:\\PROG~1\\ZENQ~1\\";
const std::wstring kSwitches =
    L" --enable-media-stream --enable-file-cookies --cache-path=\"C:\\PROG~1\\ZENQ~1\\cache\\live\"";

struct ClassifyCase {
  const wchar_t* commandLine;
  DispatchAction expected;
};

TEST(ClassifyCommandLine, FollowsTheLinkRules) {
  const ClassifyCase cases[] = {
      {L"", DispatchAction::kOpenHomeShell},
      // Blanks are not empty, and not a link.
      {L"   ", DispatchAction::kNothing},
      {L"hello", DispatchAction::kNothing},
      {L"kvts://room/7", DispatchAction::kNothing},  // no host word
      {L"kvts://zenquilo/room?id=7", DispatchAction::kOpenLiveShell},
      {L"\"kvts://zenquilo/room?id=7\"", DispatchAction::kOpenLiveShell},
      // The scheme need not lead, and the host word may stand anywhere, in any case.
      {L"open kvts://x/ZENQUILO", DispatchAction::kOpenLiveShell},
      {L"ZenQuilo kvts://x", DispatchAction::kOpenLiveShell},
      // A capital scheme closes the live shell but opens nothing.
      {L"KVTS://zenquilo/room", DispatchAction::kTerminateLiveShell},
      {L"Kvts://zenquilo/room", DispatchAction::kTerminateLiveShell},
      // Only A-Z are folded: a full-width letter is not a Latin one.
      {L"kvts://\xFF3A"
       L"enquilo",
       DispatchAction::kNothing},
  };
  for (const ClassifyCase& c : cases) {
    EXPECT_EQ(ClassifyCommandLine(c.commandLine), c.expected)
        << "command line: " << testing::PrintToString(std::wstring(c.commandLine));
  }
}

TEST(BuildLiveShellParameters, ReplacesTheSchemeAndAppendsTheSwitches) {
  EXPECT_EQ(BuildLiveShellParameters(L"kvts://zenquilo/room?id=7&t=abc", kShortDir),
            L"--zenquilo/room?id=7&t=abc" + kSwitches);
  // Only the first scheme is replaced.
  EXPECT_EQ(BuildLiveShellParameters(L"kvts://zenquilo/a?next=kvts://b", kShortDir),
            L"--zenquilo/a?next=kvts://b" + kSwitches);
  // A link in quotes keeps them around the replaced text.
  EXPECT_EQ(BuildLiveShellParameters(L"\"kvts://zenquilo/room\"", kShortDir), L"\"--zenquilo/room\"" + kSwitches);
}

TEST(BuildLiveShellParameters, WithoutShortDirectoryTheCachePathIsRelative) {
  EXPECT_EQ(BuildLiveShellParameters(L"kvts://zenquilo/", L""),
            L"--zenquilo/ --enable-media-stream --enable-file-cookies --cache-path=\"cache\\live\"");
}

TEST(MakeSingleArgument, APageCannotAddSwitches) {
  // Without encoding, each of these would reach the shell as extra arguments.
  EXPECT_EQ(MakeSingleArgument(L"--zenquilo/x --remote-debugging-port=9222"),
            L"--zenquilo/x%20--remote-debugging-port=9222");
  EXPECT_EQ(MakeSingleArgument(L"--zenquilo/x\t--a\r\n--b"), L"--zenquilo/x%09--a%0D%0A--b");
  EXPECT_EQ(MakeSingleArgument(L"--zenquilo/x\" --evil \""), L"--zenquilo/x%22%20--evil%20%22");
  // Inside enclosing quotes, a quote would end the argument early.
  EXPECT_EQ(MakeSingleArgument(L"\"--zenquilo/x\" --evil \"y\""), L"\"--zenquilo/x%22%20--evil%20%22y\"");
  // A backslash before the closing quote would escape it and swallow our switches.
  EXPECT_EQ(MakeSingleArgument(L"\"--zenquilo/x\\\\\""), L"\"--zenquilo/x%5C%5C\"");
  // Elsewhere backslashes are ordinary characters.
  EXPECT_EQ(MakeSingleArgument(L"--zenquilo/a\\b\\"), L"--zenquilo/a\\b\\");
  // A lone quote is not an enclosing pair.
  EXPECT_EQ(MakeSingleArgument(L"\""), L"%22");
  EXPECT_EQ(MakeSingleArgument(L"\"\""), L"\"\"");
  // Text that is already escaped, and non-Latin text, pass unchanged.
  EXPECT_EQ(MakeSingleArgument(L"--zenquilo/%E4%B8%AD?n=\x4E2D\x6587"), L"--zenquilo/%E4%B8%AD?n=\x4E2D\x6587");
}

TEST(BuildLiveShellParameters, HandlesAHugeCommandLine) {
  std::wstring link = L"kvts://zenquilo/";
  link.append(100000 - link.size(), L'a');
  link[5000] = L' ';
  const std::wstring parameters = BuildLiveShellParameters(link, kShortDir);
  EXPECT_EQ(ClassifyCommandLine(link), DispatchAction::kOpenLiveShell);
  ASSERT_EQ(parameters.size(), 100000 - 7 + 2 + 2 + kSwitches.size());
  EXPECT_EQ(parameters.substr(0, 11), L"--zenquilo/");
  EXPECT_EQ(parameters.find(L' '), parameters.size() - kSwitches.size());
}

}  // namespace
