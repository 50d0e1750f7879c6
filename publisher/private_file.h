#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// Files that nobody but their owner may read: the release secret key. What
// "nobody else" means is the platform's own rule (private_file_posix.cpp,
// private_file_win.cpp). Problems come back as one line that reads after the
// file's name. Any thread; the caller owns (and wipes) the buffers.

// Opens path, proves on the open file that no one but its owner can read it,
// and reads it whole into buffer. POSIX: no group or other permission bit
// may be set. Windows: the file needs a DACL (none lets everyone in), and no
// allow entry of it may grant reading (or the right to change who may read)
// to anyone but the file's owner, LocalSystem and Administrators. False and
// problem set when the file cannot be read, is not private, or holds more
// than capacity bytes.
bool ReadPrivateFile(const std::filesystem::path& path, char* buffer, std::size_t capacity, std::size_t& length,
                     std::string& problem);

// Creates path, which must not exist yet, holding bytes. With ownerOnly the
// file is private from its first moment (POSIX mode 0600; Windows a protected
// DACL granting the current user alone, who also becomes its owner), and is
// proved private by ReadPrivateFile's rule before this returns. 0 done; 2 the
// file exists (nothing changed); 4 any other failure (nothing left behind).
int CreateNewFile(const std::filesystem::path& path, const std::string& bytes, bool ownerOnly, std::string& problem);
