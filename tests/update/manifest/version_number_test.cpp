// The version rule decides whether an update is due and which files are
// fetched and installed, so it must be strtol's rule exactly and the same on
// Windows (32-bit long) as on Linux (64-bit long).

#include "update/manifest/version_number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct NumberCase {
  std::string text;
  std::int32_t value;
};

TEST(VersionNumberTest, FollowsBaseTenStrtolAndSaturatesAt32Bits) {
  const NumberCase cases[] = {
      {"12", 12},
      {"0", 0},
      {"", 0},
      {"beta", 0},
      {"2.0", 2},
      {"2.5", 2},
      {" 7", 7},
      {"\t\n\v\f\r 8", 8},
      {"+3", 3},
      {"-4", -4},
      {"+", 0},
      {"-", 0},
      {"- 5", 0},
      {"--5", 0},
      {"7 8", 7},
      {"12abc", 12},
      {"007", 7},
      {"000000000000000000000000000042", 42},
      {"0x10", 0},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"4294967296", 2147483647},  // would wrap to 0 if cut to 32 bits
      {"-4294967297", INT32_MIN},
      {"99999999999999999999", 2147483647},  // beyond a 64-bit long as well
      {"-99999999999999999999", INT32_MIN},
      {std::string(1000, '9'), 2147483647},
      {std::string("5\0"
                   "9",
                   3),
       5},
      {"\xA3\xB1", 0},  // a full-width digit in code page 936 is not a digit
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(VersionNumber(c.text), c.value) << "text: \"" << c.text << "\"";
  }
}

struct CompareCase {
  std::string a;
  std::string b;
  int result;
};

TEST(CompareVersionsTest, ComparesNumbersNotText) {
  const CompareCase cases[] = {
      {"12", "9", 1},  // as text "12" < "9"
      {"9", "12", -1},
      {"2.0", "2.5", 0},
      {"1.9", "1.2", 0},
      {"", "0", 0},
      {"beta", "", 0},
      {"1", "", 1},
      {"", "-1", 1},
      {"010", "10", 0},
      {" 7", "7", 0},
      {"+3", "3", 0},
      {"2147483648", "2147483647", 0},
      {"99999999999999999999", "2147483646", 1},
      {"-2147483649", "-2147483648", 0},
      {"0x10", "1", -1},
  };
  for (const CompareCase& c : cases) {
    EXPECT_EQ(CompareVersions(c.a, c.b), c.result) << "\"" << c.a << "\" vs \"" << c.b << "\"";
  }
}

}  // namespace
