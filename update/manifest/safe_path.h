#pragma once

#include <string>

// Paths from the network are joined onto our own directories ("temp\" and the
// program's directory) and, for "reg" entries, registered as administrator.
// These are the one set of rules that staging and finalisation both apply, so
// a name the one accepts the other never reads differently.

// local_path + name of a manifest entry: non-empty, not starting with a
// separator, no colon (no drive, no stream), no NUL or other control
// character, and no ".." segment, segments split on both "\" and "/". Checked
// on the code page 936 bytes: a trail byte 0x5C only splits more finely than
// the characters do, so the check can refuse a harmless name but never lets a
// ".." through; control characters are never trail bytes.
bool IsSafeRelativePath(const std::string& relativePath);

// A safe relative path that names a file of its own: not a directory (a last
// segment that Windows folds to nothing, such as "" or "."), and not the
// pending manifest "package.json" at the top of "temp\".
bool NamesAFileOfItsOwn(const std::string& relativePath);

// True when relativePath names exactly fileName at the top of its directory,
// as Windows resolves names (letter case, trailing dots and blanks).
bool NamesTopLevelFile(const std::string& relativePath, const std::string& fileName);

// The file a safe relative path names, as Windows resolves it (letter case,
// "\" or "/", empty and "." segments, trailing dots and blanks): two paths
// with the same text name one file.
std::string FoldedRelativePath(const std::string& relativePath);

// A piece of a single file name (the installer's package_date): no separator,
// no colon, no "..".
bool IsSafeFileNamePart(const std::string& part);
