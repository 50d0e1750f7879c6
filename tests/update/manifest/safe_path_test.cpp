#include "update/manifest/safe_path.h"

#include <gtest/gtest.h>

namespace {

TEST(IsSafeRelativePath, KeepsPathsBelowTheirDirectory) {
  for (const char* safe : {"a.dll", "bin\\a.dll", "bin/sub\\a.dll", "bina.dll", "bin\\..a.dll", "a..b\\c.dll",
                           ".\\a.dll", "bin\\\xD6\xD0\xCE\xC4.dll"}) {
    EXPECT_TRUE(IsSafeRelativePath(safe)) << safe;
  }
  for (const char* unsafe :
       {"", "..\\..\\Windows\\System32\\x.dll", "bin\\..\\..\\x.dll", "bin/../x.dll", "..", "bin\\..",
        "\\Windows\\x.dll", "/etc/x", "\\\\server\\share\\x.dll", "C:\\Windows\\x.dll", "C:x.dll", "a.dll:stream"}) {
    EXPECT_FALSE(IsSafeRelativePath(unsafe)) << unsafe;
  }
}

TEST(IsSafeRelativePath, ATrailByteBackslashNeverHidesAParentStep) {
  // 0x81 0x5C is one character whose second byte reads as a backslash.
  EXPECT_TRUE(IsSafeRelativePath("\x81\x5C"
                                 "a.dll"));
  EXPECT_FALSE(IsSafeRelativePath("\x81\x5C..\\x.dll"));
}

TEST(IsSafeRelativePath, RefusesNulAndControlCharacters) {
  // A NUL would cut the wide path short of the name that was judged.
  for (const std::string unsafe :
       {std::string("a.dll\0..\\..\\x.dll", 17), std::string("bin\\\0a.dll", 10), std::string("a\tb.dll"),
        std::string("a\nb.dll"), std::string("a\x1F.dll"), std::string("a\x7F.dll")}) {
    EXPECT_FALSE(IsSafeRelativePath(unsafe)) << testing::PrintToString(unsafe);
  }
}

TEST(IsSafeFileNamePart, RefusesAnythingThatLeavesTheName) {
  for (const char* safe : {"", "20261207", "2026-12-07 Final.v2"}) EXPECT_TRUE(IsSafeFileNamePart(safe)) << safe;
  for (const char* unsafe : {"..", "a\\b", "a/b", "C:", "..\\..\\x", "x.."}) {
    EXPECT_FALSE(IsSafeFileNamePart(unsafe)) << unsafe;
  }
}

}  // namespace
