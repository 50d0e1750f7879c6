#pragma once

#include <string>

// Conversions between UTF-8 (names as the release directory and the command
// line hold them) and code page 936 (names as package.json carries them for the
// client). Strict both ways: a character that code page 936 cannot hold, a byte
// sequence that is not valid in the source encoding, or a conversion that does
// not come back to the same text is refused rather than approximated, because
// an approximated name would install a file under a name nobody published.
// Pure functions of their arguments; any thread.

// True and cp936 filled when every character of utf8 has an exact form.
bool Utf8ToCp936(const std::string& utf8, std::string& cp936);

// True and utf8 filled when cp936 is valid code page 936 text.
bool Cp936ToUtf8(const std::string& cp936, std::string& utf8);

#ifdef _WIN32
// UTF-16 to UTF-8, strict as above: false for text that is not valid UTF-16.
bool WideToUtf8(const std::wstring& wide, std::string& utf8);
#endif
