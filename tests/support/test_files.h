#pragma once

// File and environment helpers shared by the test programs of both builds:
// whole files as bytes, paths as the narrow text the product takes, and
// throw-away directories.

#include <cstddef>
#include <filesystem>
#include <string>

namespace test_files {

// MD5 of bytes as manifests carry it: 32 upper-case hex digits.
std::string Md5Of(const std::string& bytes);

// The whole file as it is on disk; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Replaces the file with bytes as they are (no newline translation).
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// The narrow text the product takes for a path: code page 936 on Windows,
// the bytes as they are elsewhere; FromNarrowPath is its inverse.
std::string NarrowPath(const std::filesystem::path& path);
std::filesystem::path FromNarrowPath(const std::string& narrow);

// Deterministic text of size bytes whose repeats lie far apart, as in a
// program file: something zstd shrinks but not to nothing.
std::string CompressibleSample(unsigned seed, std::size_t size);

// Transfers must reach our own server on 127.0.0.1, never a proxy that the
// environment names.
void BypassProxies();

// A fresh directory under the system temp directory, its name starting with
// prefix; removed with all it holds when destroyed.
class TempDirectory {
 public:
  explicit TempDirectory(const std::string& prefix);
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace test_files
