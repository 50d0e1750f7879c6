#pragma once

#include <string>

// Lowers A-Z only, as the C runtime's tolower does in the "C" locale: names and
// schemes are compared this way, and no other letter changes.
inline std::wstring LowerAscii(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}
