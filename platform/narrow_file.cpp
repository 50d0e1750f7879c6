#include "platform/narrow_file.h"

bool ReplaceNarrowFileWith(const std::string& path, const std::string& bytes, const char* mode) {
  const std::string next = path + ".next";
  std::FILE* file = OpenNarrowPath(next, mode);
  if (file == nullptr) return false;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  written = std::fflush(file) == 0 && written;
  written = std::fclose(file) == 0 && written;
  if (written && ReplaceNarrowPath(next, path)) return true;
  RemoveNarrowPath(next);
  return false;
}
