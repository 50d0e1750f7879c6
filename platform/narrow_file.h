#pragma once

#include <cstdio>
#include <string>

// Opens a file named by narrow text (code page 936 on Windows, where the wide
// call is used so Chinese names work whatever the system's ANSI code page is;
// bytes as they are elsewhere). mode as for fopen. Null when it cannot be opened.
std::FILE* OpenNarrowPath(const std::string& path, const char* mode);
