#pragma once

#include <string>

// The two kinds of text: wide (UTF-16, for every Win32 wide call) and narrow
// (bytes of the Simplified Chinese code page 936, for manifests, libcurl and
// the file names that manifests carry). These are the only bridges.
// Both stop at the first zero character, and neither touches process-wide
// state, so they may run on any thread.

std::string WideToNarrow(const std::wstring& text);
std::wstring NarrowToWide(const std::string& text);
