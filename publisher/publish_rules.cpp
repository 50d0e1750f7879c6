#include "publisher/publish_rules.h"

#include <algorithm>

#include "update/proof/expiry_time.h"

namespace {

bool IsReservedDeviceName(const std::string& segment) {
  // Windows keeps these names for devices whatever the extension ("nul.txt"
  // is the null device too), so such a file could never be installed.
  const std::string stem = FoldAsciiCase(segment.substr(0, segment.find('.')));
  static const char* const kPlain[] = {"con", "prn", "aux", "nul"};
  for (const char* name : kPlain) {
    if (stem == name) return true;
  }
  if (stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0)) {
    return stem[3] >= '1' && stem[3] <= '9';
  }
  return false;
}

// Length of the UTF-8 character starting at text[i]; 1 for a stray byte.
size_t CharacterLength(const std::string& text, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  size_t end = i + 1;
  while (end < text.size() && end < i + length && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  return end - i;
}

bool Match(const std::string& pattern, size_t p, const std::string& path, size_t s) {
  while (p < pattern.size()) {
    if (pattern.compare(p, 2, "**") == 0) {
      size_t next = p + 2;
      // "**/" may stand for no directory at all: "**/*.dll" matches "a.dll".
      if (next < pattern.size() && pattern[next] == '/' && Match(pattern, next + 1, path, s)) return true;
      for (size_t k = s; k <= path.size(); ++k) {
        if (Match(pattern, next, path, k)) return true;
      }
      return false;
    }
    if (pattern[p] == '*') {
      for (size_t k = s;; ++k) {
        if (Match(pattern, p + 1, path, k)) return true;
        if (k == path.size() || path[k] == '/') return false;
      }
    }
    if (s >= path.size()) return false;
    if (pattern[p] == '?') {
      if (path[s] == '/') return false;
      s += CharacterLength(path, s);
      ++p;
      continue;
    }
    if (pattern[p] != path[s]) return false;
    ++p;
    ++s;
  }
  return s == path.size();
}

}  // namespace

std::string SegmentProblem(const std::string& segment) {
  if (segment.empty()) return "empty name";
  for (char c : segment) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return "control character in the name";
    if (c == '\\') return "backslash in the name";
    if (c == ':') return "colon in the name";
    if (c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*') {
      return std::string("character '") + c + "' cannot be in a Windows file name";
    }
  }
  if (segment.back() == '.' || segment.back() == ' ') return "name ends in a dot or blank (Windows drops it)";
  if (IsReservedDeviceName(segment)) return "reserved device name on Windows";
  return std::string();
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> segments(1);
  for (char c : path) {
    if (c == '/') {
      segments.emplace_back();
    } else {
      segments.back() += c;
    }
  }
  return segments;
}

std::string FoldAsciiCase(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool MatchesGlob(const std::string& pattern, const std::string& path) {
  return Match(pattern, 0, path, 0);
}

std::string PercentEncode(const std::string& text, bool keepSlashes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '~' || c == '-' || (keepSlashes && c == '/');
    if (plain) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0F];
    }
  }
  return encoded;
}

bool IsVerText(const std::string& text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string TrimTrailingSlashes(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

bool ExpiryFromDays(const std::string& days, std::int64_t now, std::string& expires) {
  if (days.empty() || days.size() > 4) return false;
  int count = 0;
  for (char c : days) {
    if (c < '0' || c > '9') return false;
    count = count * 10 + (c - '0');
  }
  if (count < 1 || count > 3650) return false;
  expires = FormatExpiryTime(now + static_cast<std::int64_t>(count) * 86400);
  return true;
}

bool IssueTime(std::int64_t now, const std::string& previous, std::string& issued) {
  // 9999-12-31T23:59:59Z, the last time the form holds.
  constexpr std::int64_t kLastWritable = 253402300799;
  std::int64_t at = now;
  if (!previous.empty()) {
    std::int64_t before = 0;
    if (!ParseExpiryTime(previous, before)) return false;
    at = std::max(at, before + 1);
  }
  if (at < 0 || at > kLastWritable) return false;
  issued = FormatExpiryTime(at);
  return true;
}
