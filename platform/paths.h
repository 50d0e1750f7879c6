#pragma once

#include <string>

// The program's own directories and small file helpers. Directory texts end in
// a backslash, so callers append names directly. No state is kept between calls.

// Drive and directory of the running executable, or empty text when the
// module path cannot be had (paths built on it are then relative).
std::wstring GetModuleDirectory();

// Drive and directory part of an executable's full path, as _wsplitpath_s splits it.
std::wstring ModuleDirectoryFromPath(const std::wstring& modulePath);

// The module directory followed by "temp\", created when missing. The path is
// returned whether or not it could be created; the first write reports that.
std::wstring GetTempDirectory();

// The 8.3 form of an existing path, or empty text when it cannot be had.
std::wstring GetShortPath(const std::wstring& path);

// The whole file read in text mode (CR LF becomes LF), shared with other
// readers and writers; empty text when it cannot be opened.
std::string ReadWholeFile(const std::string& path);
