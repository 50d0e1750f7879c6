#include "platform/narrow_file.h"

#include <windows.h>

#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/directory_tree.h"
#include "platform/text.h"

namespace {

constexpr size_t kLongestDirectoryTree = 259;

}  // namespace

std::FILE* OpenNarrowPath(const std::string& path, const char* mode) {
  const std::string narrowMode(mode);
  return _wfopen(NarrowToWide(path).c_str(), std::wstring(narrowMode.begin(), narrowMode.end()).c_str());
}

long long NarrowFileSize(const std::string& path) {
  struct _stat64 info;
  if (_wstat64(NarrowToWide(path).c_str(), &info) != 0 || (info.st_mode & _S_IFREG) == 0) return -1;
  return info.st_size;
}

bool RemoveNarrowPath(const std::string& path) {
  return _wremove(NarrowToWide(path).c_str()) == 0 || errno == ENOENT;
}

bool ReplaceNarrowPath(const std::string& from, const std::string& to) {
  return MoveFileExW(NarrowToWide(from).c_str(), NarrowToWide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

int MakeDirectoryTree(const std::string& path) {
  if (path.size() > kLongestDirectoryTree) return -1;
  // Walked as wide text: the second byte of a code page 936 character can be
  // 0x5C, which a byte walk would take for a backslash. The wide calls also
  // keep Chinese names intact whatever the system's ANSI code page is.
  for (const std::wstring& prefix : DirectoryPrefixes(NarrowToWide(path))) {
    if (_waccess(prefix.c_str(), 0) == 0) continue;
    if (_wmkdir(prefix.c_str()) != 0 && errno != EEXIST) return -1;
  }
  return 0;
}
