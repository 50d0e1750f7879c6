#include "platform/error_text.h"

#include <windows.h>

#include "platform/text.h"

std::string SystemErrorText(unsigned long code) {
  wchar_t words[512] = {};
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      words, static_cast<DWORD>(sizeof words / sizeof words[0]), nullptr);
  std::wstring text(words, length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  const std::string prefix = "Win32 error " + std::to_string(code);
  return text.empty() ? prefix : prefix + " (" + WideToNarrow(text) + ")";
}
