#include "tests/server/byte_ranges.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

namespace test_http {
namespace {

constexpr std::uint64_t kNoLast = std::numeric_limits<std::uint64_t>::max();

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Digits from *at; a number too large for 64 bits saturates, since it only
// ever lies past the end of what we serve. False without a digit.
bool ReadPosition(const std::string& text, std::size_t* at, std::uint64_t* value) {
  const std::size_t start = *at;
  std::uint64_t result = 0;
  for (; *at < text.size() && IsDigit(text[*at]); ++*at) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[*at] - '0');
    result = result > (kNoLast - digit) / 10 ? kNoLast : result * 10 + digit;
  }
  *value = result;
  return *at > start;
}

// "bytes=N-" or "bytes=N-M" (the unit in any case). *last is kNoLast for "N-".
bool ParseSingleRange(const std::string& value, std::uint64_t* first, std::uint64_t* last) {
  static const std::string kUnit = "bytes=";
  if (value.size() < kUnit.size() || !std::equal(kUnit.begin(), kUnit.end(), value.begin(), [](char u, char v) {
        return u == std::tolower(static_cast<unsigned char>(v));
      })) {
    return false;
  }
  std::size_t at = kUnit.size();
  if (!ReadPosition(value, &at, first) || at >= value.size() || value[at] != '-') return false;
  ++at;
  if (at == value.size()) {
    *last = kNoLast;
    return true;
  }
  // An M too large for 64 bits saturates to kNoLast too, which means the same.
  return ReadPosition(value, &at, last) && at == value.size() && *first <= *last;
}

}  // namespace

std::string EntityTag(const std::string& body) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : body) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  char text[24];
  std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
  return text;
}

RangeChoice ChooseRange(const RecordedRequest& request, const std::string& etag, std::uint64_t size) {
  RangeChoice whole;
  if (request.method != "GET") return whole;
  // Two Range headers are one list of two ranges, which we do not serve.
  if (request.HeaderCount("Range") != 1) return whole;
  if (request.HasHeader("If-Range") && request.Header("If-Range") != etag) return whole;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  if (!ParseSingleRange(request.Header("Range"), &first, &last)) return whole;
  RangeChoice choice;
  if (first >= size) {
    choice.kind = RangeChoice::kUnsatisfiable;
    return choice;
  }
  choice.kind = RangeChoice::kPart;
  choice.first = first;
  choice.last = std::min(last, size - 1);
  return choice;
}

std::string ContentRangeValue(const RangeChoice& choice, std::uint64_t size) {
  const std::string total = "/" + std::to_string(size);
  if (choice.kind == RangeChoice::kUnsatisfiable) return "bytes *" + total;
  return "bytes " + std::to_string(choice.first) + "-" + std::to_string(choice.last) + total;
}

}  // namespace test_http
