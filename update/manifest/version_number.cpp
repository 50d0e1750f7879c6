#include "update/manifest/version_number.h"

#include <limits>

namespace {

// The "C" locale's white space, which is what strtol skips: the program's
// locale is never asked, so the rule does not change with the code page.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::int32_t VersionNumber(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;

  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }

  // Accumulated in 64 bits and clamped as soon as it leaves the 32-bit range,
  // so a long run of digits can neither overflow nor change the answer.
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMinMagnitude = kMax + 1;
  const std::int64_t limit = negative ? kMinMagnitude : kMax;
  std::int64_t magnitude = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    if (magnitude < limit) {
      magnitude = magnitude * 10 + (text[i] - '0');
      if (magnitude > limit) magnitude = limit;
    }
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

int CompareVersions(const std::string& a, const std::string& b) {
  const std::int32_t left = VersionNumber(a);
  const std::int32_t right = VersionNumber(b);
  if (left > right) return 1;
  if (left < right) return -1;
  return 0;
}
