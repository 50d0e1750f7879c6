#pragma once

#include <cstdint>
#include <string>

// Version numbers travel as text ("version" of a manifest, "ver" of its file
// entries) and become numbers only where they are compared, always by this one
// rule: base-10 strtol, that is leading white space skipped, an optional sign,
// then decimal digits up to the first other character; no digits gives 0.
// Values beyond the signed 32-bit range saturate at INT32_MAX or INT32_MIN, on
// every platform alike (long is 32 bits on Windows and 64 on Linux, so strtol
// itself would not agree with itself). Pure functions, any thread.

std::int32_t VersionNumber(const std::string& text);

// 1 when a counts as more than b, 0 when both count the same, -1 when less.
int CompareVersions(const std::string& a, const std::string& b);
