#include "update/manifest/safe_path.h"

#include <vector>

namespace {

constexpr char kManifestName[] = "package.json";

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// A NUL ends the wide path that Win32 is handed, so the file touched would not
// be the one judged here; other control characters are no part of a real name.
bool IsControl(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// Windows drops trailing dots and blanks from a path's components, so "a.dll."
// is "a.dll" and "..." names the directory that holds it.
std::string AsWindowsNamesIt(std::string segment) {
  while (!segment.empty() && (segment.back() == '.' || segment.back() == ' ')) segment.pop_back();
  std::string lowered;
  for (char c : segment) lowered += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lowered;
}

std::vector<std::string> Segments(const std::string& relativePath) {
  std::vector<std::string> segments;
  std::string current;
  for (char c : relativePath) {
    if (IsSeparator(c)) {
      segments.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  segments.push_back(current);
  return segments;
}

// The segments that name something, as Windows folds them; "." and empty ones
// drop out. A safe path has no "..", so nothing else can climb.
std::vector<std::string> NamedSegments(const std::string& relativePath) {
  std::vector<std::string> named;
  for (const std::string& segment : Segments(relativePath)) {
    std::string folded = AsWindowsNamesIt(segment);
    if (!folded.empty()) named.push_back(std::move(folded));
  }
  return named;
}

}  // namespace

bool IsSafeRelativePath(const std::string& relativePath) {
  if (relativePath.empty() || IsSeparator(relativePath.front())) return false;
  for (char c : relativePath) {
    if (c == ':' || IsControl(c)) return false;
  }
  for (const std::string& segment : Segments(relativePath)) {
    if (segment == "..") return false;
  }
  return true;
}

bool NamesTopLevelFile(const std::string& relativePath, const std::string& fileName) {
  const std::vector<std::string> named = NamedSegments(relativePath);
  return named.size() == 1 && !fileName.empty() && named.front() == AsWindowsNamesIt(fileName);
}

// Moving the pending manifest early would end the pending state before the
// other files are in place; a path with no file name of its own would move or
// delete a whole directory.
bool NamesAFileOfItsOwn(const std::string& relativePath) {
  if (AsWindowsNamesIt(Segments(relativePath).back()).empty()) return false;
  return !NamesTopLevelFile(relativePath, kManifestName);
}

std::string FoldedRelativePath(const std::string& relativePath) {
  std::string folded;
  for (const std::string& segment : NamedSegments(relativePath)) folded += (folded.empty() ? "" : "\\") + segment;
  return folded;
}

bool IsSafeFileNamePart(const std::string& part) {
  for (char c : part) {
    if (IsSeparator(c) || c == ':') return false;
  }
  return part.find("..") == std::string::npos;
}
