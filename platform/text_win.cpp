#include "platform/text.h"

#include <windows.h>

namespace {

// Code page 936 by number rather than through setlocale("chs"): the result is
// the same, and no other thread's conversions are disturbed.
constexpr UINT kChineseCodePage = 936;

}  // namespace

std::string WideToNarrow(const std::wstring& text) {
  const std::wstring source(text.c_str());
  if (source.empty()) return std::string();
  const int size = WideCharToMultiByte(kChineseCodePage, 0, source.data(), static_cast<int>(source.size()), nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(kChineseCodePage, 0, source.data(), static_cast<int>(source.size()), result.data(), size, nullptr,
                      nullptr);
  return std::string(result.c_str());
}

std::wstring NarrowToWide(const std::string& text) {
  const std::string source(text.c_str());
  if (source.empty()) return std::wstring();
  const int size = MultiByteToWideChar(kChineseCodePage, 0, source.data(), static_cast<int>(source.size()), nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring result(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(kChineseCodePage, 0, source.data(), static_cast<int>(source.size()), result.data(), size);
  return std::wstring(result.c_str());
}
