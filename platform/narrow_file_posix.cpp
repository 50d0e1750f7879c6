#include "platform/narrow_file.h"

std::FILE* OpenNarrowPath(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}
