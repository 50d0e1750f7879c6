#include "platform/narrow_file.h"

#include "platform/unique_resource.h"

bool ReplaceNarrowFileWith(const std::string& path, const std::string& bytes, const char* mode) {
  const std::string next = path + ".next";
  UniqueFile file(OpenNarrowPath(next, mode));
  if (!file) return false;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  written = std::fflush(file.get()) == 0 && written;
  // Closed before the move or the removal: Windows does neither to an open file.
  written = CloseFile(file) && written;
  if (written && ReplaceNarrowPath(next, path)) return true;
  RemoveNarrowPath(next);
  return false;
}
