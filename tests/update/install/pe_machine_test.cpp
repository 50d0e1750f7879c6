#include "update/install/pe_machine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// A DOS stub pointing at "PE\0\0" + machine at peAt, in a head of size bytes.
std::string Image(std::uint32_t peAt, std::uint16_t machine, std::size_t size = 0x200) {
  std::string head(size, '\0');
  head[0] = 'M';
  head[1] = 'Z';
  for (int i = 0; i < 4; ++i) head[0x3C + i] = static_cast<char>(peAt >> (8 * i));
  if (std::uint64_t{peAt} + 6 <= size) {
    head.replace(peAt, 4, std::string("PE\0\0", 4));
    head[peAt + 4] = static_cast<char>(machine & 0xFF);
    head[peAt + 5] = static_cast<char>(machine >> 8);
  }
  return head;
}

TEST(PeMachineOf, ReadsTheMachineOfEachArchitecture) {
  for (std::uint16_t machine : {0x8664, 0x014C, 0xAA64}) {
    std::uint16_t read = 0;
    EXPECT_TRUE(PeMachineOf(Image(0x80, machine), read));
    EXPECT_EQ(read, machine);
  }
}

// Catches reading past the head, or trusting a file that is no image at all.
TEST(PeMachineOf, RefusesWhatIsNoWholeHeader) {
  std::string noPe = Image(0x80, 0x8664);
  noPe[0x81] = 'X';
  struct Case {
    const char* what;
    std::string head;
  } const cases[] = {
      {"empty", ""},
      {"text", std::string(0x200, 'a')},
      {"no MZ", "ZM" + Image(0x80, 0x8664).substr(2)},
      {"no PE signature", noPe},
      {"header past the head", Image(0x1FC, 0x8664)},
      {"offset that wraps", Image(0xFFFFFFFE, 0x8664)},
      {"cut before the offset", Image(0x80, 0x8664).substr(0, 0x3E)},
  };
  for (const Case& c : cases) {
    std::uint16_t read = 0;
    EXPECT_FALSE(PeMachineOf(c.head, read)) << c.what;
  }
}

}  // namespace
