#pragma once

#include <cstdio>
#include <string>

// Files named by narrow text (code page 936 on Windows, where the wide calls
// are used so Chinese names work whatever the system's ANSI code page is;
// bytes as they are elsewhere).

// mode as for fopen. Null when it cannot be opened.
std::FILE* OpenNarrowPath(const std::string& path, const char* mode);

// Size in bytes of the file, or -1 when there is none.
long long NarrowFileSize(const std::string& path);

// Deletes the file if it is there; true when it is gone afterwards.
bool RemoveNarrowPath(const std::string& path);

// Moves from onto to, replacing a file there; true when to now holds it.
bool ReplaceNarrowPath(const std::string& from, const std::string& to);

// Writes bytes to path + ".next", then moves that onto path, so a reader
// never finds half of them: true when path holds every byte. On failure
// (a full disk shows at the flush or the close) path is as it was and
// nothing is left beside it. mode as for fopen: "wb", or "wt" for CR LF
// line ends on Windows.
bool ReplaceNarrowFileWith(const std::string& path, const std::string& bytes, const char* mode = "wb");

// Creates every directory named in path (narrow, code page 936): each prefix
// ending in "\" or "/". The part after the last separator is left alone.
// 0 when all of them exist afterwards; -1 at the first directory that cannot
// be created, and on Windows for a path over 259 characters (nothing is
// created then).
int MakeDirectoryTree(const std::string& path);
