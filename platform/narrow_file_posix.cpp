#include "platform/narrow_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/directory_tree.h"

std::FILE* OpenNarrowPath(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

long long NarrowFileSize(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<long long>(info.st_size);
}

bool RemoveNarrowPath(const std::string& path) {
  return std::remove(path.c_str()) == 0 || errno == ENOENT;
}

// rename() replaces an existing target in one step.
bool ReplaceNarrowPath(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

int MakeDirectoryTree(const std::string& path) {
  for (const std::string& prefix : DirectoryPrefixes(path)) {
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return -1;
  }
  return 0;
}
