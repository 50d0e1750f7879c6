#include "publisher/cp936_text.h"

#include <windows.h>

namespace {

constexpr UINT kChineseCodePage = 936;

bool Utf8ToWide(const std::string& utf8, std::wstring& wide) {
  wide.clear();
  if (utf8.empty()) return true;
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (size <= 0) return false;
  wide.assign(static_cast<size_t>(size), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &wide[0],
                             size) == size;
}

bool Cp936ToWide(const std::string& cp936, std::wstring& wide) {
  wide.clear();
  if (cp936.empty()) return true;
  const int size = MultiByteToWideChar(kChineseCodePage, MB_ERR_INVALID_CHARS, cp936.data(),
                                       static_cast<int>(cp936.size()), nullptr, 0);
  if (size <= 0) return false;
  wide.assign(static_cast<size_t>(size), L'\0');
  return MultiByteToWideChar(kChineseCodePage, MB_ERR_INVALID_CHARS, cp936.data(), static_cast<int>(cp936.size()),
                             &wide[0], size) == size;
}

}  // namespace

bool WideToUtf8(const std::wstring& wide, std::string& utf8) {
  utf8.clear();
  if (wide.empty()) return true;
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  utf8.assign(static_cast<size_t>(size), '\0');
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), &utf8[0], size,
                             nullptr, nullptr) == size;
}

bool Utf8ToCp936(const std::string& utf8, std::string& cp936) {
  std::wstring wide;
  if (!Utf8ToWide(utf8, wide)) return false;
  if (wide.empty()) {
    cp936.clear();
    return true;
  }
  // Without WC_NO_BEST_FIT_CHARS a character outside the code page may become
  // a look-alike ("ä" as "a"); with it and usedDefault, any substitute shows.
  BOOL usedDefault = FALSE;
  const int size = WideCharToMultiByte(kChineseCodePage, WC_NO_BEST_FIT_CHARS, wide.data(),
                                       static_cast<int>(wide.size()), nullptr, 0, nullptr, &usedDefault);
  if (size <= 0 || usedDefault) return false;
  std::string narrow(static_cast<size_t>(size), '\0');
  usedDefault = FALSE;
  if (WideCharToMultiByte(kChineseCodePage, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                          &narrow[0], size, nullptr, &usedDefault) != size ||
      usedDefault) {
    return false;
  }
  // The client reads the name back with MultiByteToWideChar: it must get ours.
  std::wstring back;
  if (!Cp936ToWide(narrow, back) || back != wide) return false;
  cp936 = narrow;
  return true;
}

bool Cp936ToUtf8(const std::string& cp936, std::string& utf8) {
  std::wstring wide;
  return Cp936ToWide(cp936, wide) && WideToUtf8(wide, utf8);
}
