#pragma once

#include <string>
#include <vector>

// The directories that a path names: every prefix that ends in a separator
// ("\" or "/", also mixed), shortest first. The part after the last separator
// is a file name and is not among them.
template <class String>
std::vector<String> DirectoryPrefixes(const String& path) {
  std::vector<String> prefixes;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '\\' || path[i] == '/') prefixes.push_back(path.substr(0, i + 1));
  }
  return prefixes;
}
