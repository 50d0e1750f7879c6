#include "update/safe_path.h"

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

}  // namespace

bool IsSafeRelativePath(const std::string& relativePath) {
  if (relativePath.empty() || IsSeparator(relativePath.front())) return false;
  if (relativePath.find(':') != std::string::npos) return false;
  size_t start = 0;
  while (start <= relativePath.size()) {
    size_t end = start;
    while (end < relativePath.size() && !IsSeparator(relativePath[end])) ++end;
    if (relativePath.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

bool IsSafeFileNamePart(const std::string& part) {
  for (char c : part) {
    if (IsSeparator(c) || c == ':') return false;
  }
  return part.find("..") == std::string::npos;
}
