#include "platform/paths.h"

#include <windows.h>

#include <errno.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/narrow_file.h"
#include "platform/text.h"
#include "platform/unique_resource.h"

namespace {

constexpr size_t kPathBufferSize = MAX_PATH;  // 260, the terminator included

}  // namespace

std::wstring ModuleDirectoryFromPath(const std::wstring& modulePath) {
  wchar_t drive[_MAX_DRIVE] = {};
  wchar_t directory[_MAX_DIR] = {};
  wchar_t name[_MAX_FNAME] = {};
  wchar_t extension[_MAX_EXT] = {};
  if (_wsplitpath_s(modulePath.c_str(), drive, _MAX_DRIVE, directory, _MAX_DIR, name, _MAX_FNAME, extension,
                    _MAX_EXT) != 0) {
    return std::wstring();
  }
  return std::wstring(drive) + directory;
}

std::wstring GetModuleDirectory() {
  wchar_t path[kPathBufferSize] = {};
  if (GetModuleFileNameW(nullptr, path, kPathBufferSize) == 0) return std::wstring();
  return ModuleDirectoryFromPath(path);
}

std::wstring GetTempDirectory() {
  const std::wstring directory = GetModuleDirectory() + L"temp\\";
  MakeDirectoryTree(WideToNarrow(directory));
  return directory;
}

std::wstring GetShortPath(const std::wstring& path) {
  wchar_t buffer[kPathBufferSize] = {};
  const DWORD length = GetShortPathNameW(path.c_str(), buffer, kPathBufferSize);
  if (length == 0 || length >= kPathBufferSize) return std::wstring();
  return buffer;
}

std::string ReadWholeFile(const std::string& path) {
  const UniqueFile file(_wfsopen(NarrowToWide(path).c_str(), L"rt", _SH_DENYNO));
  if (!file) return std::string();
  std::string text;
  char block[4096];
  size_t count = 0;
  while ((count = fread(block, 1, sizeof block, file.get())) > 0) text.append(block, count);
  return text;
}
