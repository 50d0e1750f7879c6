#include "platform/machine_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

RegistryValue Text(const std::u16string& text, bool terminated = true) {
  RegistryValue value{kRegistryText, {}};
  for (const char16_t unit : text) {
    value.bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
    value.bytes.push_back(static_cast<unsigned char>(unit >> 8));
  }
  if (terminated) value.bytes.insert(value.bytes.end(), {0, 0});
  return value;
}

RegistryValue Number(std::uint32_t number) {
  return {kRegistryNumber,
          {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
           static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)}};
}

RegistryValue Raw(std::uint32_t type, std::vector<unsigned char> bytes) {
  return {type, std::move(bytes)};
}

// Each row catches a value an administrator's tool can leave that must count
// as not set rather than become an address, a proxy or a switch.
TEST(PolicyText, TakesTheTextUpToItsFirstNulAndRefusesWhatIsNoAddress) {
  struct Case {
    const char* what;
    std::optional<RegistryValue> value;
    std::optional<std::wstring> text;
  } const cases[] = {
      {"missing", std::nullopt, std::nullopt},
      {"terminated", Text(u"http://u.example/p.json"), L"http://u.example/p.json"},
      {"without its terminator", Text(u"DIRECT", false), L"DIRECT"},
      {"cut at the first NUL", Text(std::u16string(u"proxy:3128\0junk", 15)), L"proxy:3128"},
      {"Chinese text as UTF-16", Text(u"http://\u4E2D.example/"), L"http://\u4E2D.example/"},
      {"empty", Text(u""), std::nullopt},
      {"a line break in it", Text(u"http://a\n/"), std::nullopt},
      {"a tab in it", Text(u"a\tb"), std::nullopt},
      {"an odd byte count", Raw(kRegistryText, {'a', 0, 'b'}), std::nullopt},
      {"a number instead", Number(1), std::nullopt},
      {"REG_EXPAND_SZ", Raw(2, Text(u"http://x/").bytes), std::nullopt},
      {"REG_MULTI_SZ", Raw(7, Text(u"http://x/").bytes), std::nullopt},
      {"at the longest", Text(std::u16string(kMaxPolicyTextLength, u'a')), std::wstring(kMaxPolicyTextLength, L'a')},
      {"too long", Text(std::u16string(kMaxPolicyTextLength + 1, u'a')), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(PolicyText(c.value), c.text) << c.what;
}

TEST(PolicyNumber, TakesExactlyFourLittleEndianBytesOfADword) {
  EXPECT_EQ(PolicyNumber(Number(12)), 12u);
  EXPECT_EQ(PolicyNumber(Number(0x12345678)), 0x12345678u);
  EXPECT_EQ(PolicyNumber(Number(4294967295u)), 4294967295u);
  EXPECT_EQ(PolicyNumber(std::nullopt), std::nullopt);
  EXPECT_EQ(PolicyNumber(Raw(kRegistryNumber, {1, 0, 0})), std::nullopt);
  EXPECT_EQ(PolicyNumber(Raw(kRegistryNumber, {1, 0, 0, 0, 0})), std::nullopt);
  EXPECT_EQ(PolicyNumber(Raw(11, {12, 0, 0, 0, 0, 0, 0, 0})), std::nullopt) << "REG_QWORD";
  EXPECT_EQ(PolicyNumber(Text(u"12")), std::nullopt) << "a number typed as text";
}

TEST(PolicySwitch, OnlyZeroAndOneSwitch) {
  EXPECT_EQ(PolicySwitch(Number(0)), false);
  EXPECT_EQ(PolicySwitch(Number(1)), true);
  EXPECT_EQ(PolicySwitch(Number(2)), std::nullopt);
  EXPECT_EQ(PolicySwitch(Number(4294967295u)), std::nullopt);
  EXPECT_EQ(PolicySwitch(Text(u"0")), std::nullopt);
  EXPECT_EQ(PolicySwitch(std::nullopt), std::nullopt);
}

}  // namespace
