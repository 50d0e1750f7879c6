#pragma once

#include <string>

// Paths from the network are joined onto our own directories ("temp\" and the
// program's directory) and, for "reg" entries, registered as administrator.
// These checks keep every such path below the directory it is joined to.

// local_path + name of a manifest entry: non-empty, not starting with a
// separator, no colon (no drive, no stream), and no ".." segment, segments
// split on both "\" and "/". Checked on the code page 936 bytes: a trail byte
// 0x5C only splits more finely than the characters do, so the check can refuse
// a harmless name but never lets a ".." through.
bool IsSafeRelativePath(const std::string& relativePath);

// A piece of a single file name (the installer's package_date): no separator,
// no colon, no "..".
bool IsSafeFileNamePart(const std::string& part);
