#include "tests/support/test_files.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "update/proof/md5_checksum.h"

#ifdef _WIN32
#include "platform/text.h"
#endif

namespace test_files {

namespace fs = std::filesystem;

std::string Md5Of(const std::string& bytes) {
  CMD5Checksum md5;
  md5.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return md5.Final();
}

std::string ReadFile(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string NarrowPath(const fs::path& path) {
#ifdef _WIN32
  return WideToNarrow(path.wstring());
#else
  return path.string();
#endif
}

fs::path FromNarrowPath(const std::string& narrow) {
#ifdef _WIN32
  return fs::path(NarrowToWide(narrow));
#else
  return fs::path(narrow);
#endif
}

std::string CompressibleSample(unsigned seed, std::size_t size) {
  std::string text;
  unsigned state = seed;
  while (text.size() < size) {
    state = state * 1103515245u + 12345u;
    text += "word" + std::to_string((state >> 16) % 300) + (state % 7 == 0 ? "\n" : " ");
  }
  text.resize(size);
  return text;
}

void BypassProxies() {
#ifdef _WIN32
  _putenv_s("NO_PROXY", "*");
  _putenv_s("no_proxy", "*");
#else
  setenv("NO_PROXY", "*", 1);
  setenv("no_proxy", "*", 1);
#endif
}

TempDirectory::TempDirectory(const std::string& prefix) {
  // The counter keeps two directories of one process apart even if the
  // random source repeats itself.
  static int counter = 0;
  path_ =
      fs::temp_directory_path() / (prefix + std::to_string(std::random_device()()) + "_" + std::to_string(++counter));
  fs::create_directories(path_);
}

TempDirectory::~TempDirectory() {
  std::error_code error;
  fs::remove_all(path_, error);
}

}  // namespace test_files
