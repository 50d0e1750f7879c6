#include "platform/narrow_file.h"

#include "platform/text.h"

std::FILE* OpenNarrowPath(const std::string& path, const char* mode) {
  const std::string narrowMode(mode);
  return _wfopen(NarrowToWide(path).c_str(), std::wstring(narrowMode.begin(), narrowMode.end()).c_str());
}
