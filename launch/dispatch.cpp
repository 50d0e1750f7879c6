#include "launch/dispatch.h"

#include "platform/lower_ascii.h"

namespace {

constexpr wchar_t kSchemeReplacement[] = L"--";
constexpr wchar_t kLiveSwitches[] = L" --enable-media-stream --enable-file-cookies --cache-path=\"";
constexpr wchar_t kLiveCacheDirectory[] = L"cache\\live\"";

bool Contains(const std::wstring& text, const wchar_t* part) {
  return text.find(part) != std::wstring::npos;
}

void AppendPercentEncoded(std::wstring& out, wchar_t c) {
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  out += L'%';
  out += kHex[(c >> 4) & 0xF];
  out += kHex[c & 0xF];
}

bool NeedsEncoding(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'"';
}

}  // namespace

DispatchAction ClassifyCommandLine(const std::wstring& commandLine) {
  if (commandLine.empty()) return DispatchAction::kOpenHomeShell;
  const std::wstring lowered = LowerAscii(commandLine);
  if (!Contains(lowered, kLinkScheme) || !Contains(lowered, kLinkHostWord)) {
    return DispatchAction::kNothing;
  }
  // The running live shell is closed even when the scheme is written in
  // capitals, but only the exact lower-case scheme opens a new one.
  if (!Contains(commandLine, kLinkScheme)) return DispatchAction::kTerminateLiveShell;
  return DispatchAction::kOpenLiveShell;
}

std::wstring MakeSingleArgument(const std::wstring& link) {
  const bool enclosed = link.size() >= 2 && link.front() == L'"' && link.back() == L'"';
  const size_t begin = enclosed ? 1 : 0;
  const size_t end = enclosed ? link.size() - 1 : link.size();

  // A run of backslashes right before the closing quote would escape it.
  size_t trailingBackslashes = end;
  if (enclosed) {
    while (trailingBackslashes > begin && link[trailingBackslashes - 1] == L'\\') --trailingBackslashes;
  }

  std::wstring out;
  out.reserve(link.size() + 16);
  if (enclosed) out += L'"';
  for (size_t i = begin; i < end; ++i) {
    const wchar_t c = link[i];
    if (NeedsEncoding(c) || i >= trailingBackslashes) {
      AppendPercentEncoded(out, c);
    } else {
      out += c;
    }
  }
  if (enclosed) out += L'"';
  return out;
}

std::wstring BuildLiveShellParameters(const std::wstring& commandLine, const std::wstring& shortModuleDirectory) {
  std::wstring link = commandLine;
  const size_t scheme = link.find(kLinkScheme);
  if (scheme != std::wstring::npos) {
    link.replace(scheme, std::char_traits<wchar_t>::length(kLinkScheme), kSchemeReplacement);
  }
  return MakeSingleArgument(link) + kLiveSwitches + shortModuleDirectory + kLiveCacheDirectory;
}
