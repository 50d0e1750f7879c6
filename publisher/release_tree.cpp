#include "publisher/release_tree.h"

#include <chrono>
#include <cstdio>
#include <random>

#include "platform/unique_resource.h"
#include "publisher/cp936_text.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

UniqueFile OpenPath(const fs::path& path, bool write) {
#ifdef _WIN32
  return UniqueFile(_wfopen(path.c_str(), write ? L"wb" : L"rb"));
#else
  return UniqueFile(std::fopen(path.c_str(), write ? "wb" : "rb"));
#endif
}

// Both digests of everything read from in: true when it was read to its end.
bool DigestStream(std::FILE* in, FileDigests& digests, std::FILE* copyTo = nullptr) {
  CMD5Checksum md5;
  Sha256Digest sha256;
  std::vector<unsigned char> buffer(1 << 16);
  size_t got = 0;
  long long size = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
    size += static_cast<long long>(got);
    md5.Update(buffer.data(), got);
    sha256.Update(buffer.data(), got);
    if (copyTo != nullptr && std::fwrite(buffer.data(), 1, got, copyTo) != got) return false;
  }
  if (std::ferror(in)) return false;
  digests.md5 = md5.Final();
  digests.sha256 = sha256.FinalHex();
  digests.size = size;
  return true;
}

// Copies from (when not empty) to `to` and gives the digests of the bytes
// read; false on an I/O failure. With an empty from, writes an empty file.
bool CopyAndHash(const fs::path& from, const fs::path& to, FileDigests& digests) {
  UniqueFile out = OpenPath(to, true);
  if (!out) return false;
  if (from.empty()) {
    digests.md5 = CMD5Checksum().Final();
    digests.sha256 = Sha256HexOfBytes(std::string());
  } else {
    UniqueFile in = OpenPath(from, false);
    if (!in || !DigestStream(in.get(), digests, out.get())) return false;
  }
  return CloseFile(out);
}

bool IsInside(const fs::path& root, const fs::path& target) {
  const fs::path relative = target.lexically_relative(root);
  return !relative.empty() && *relative.begin() != "..";
}

std::string Describe(const fs::path& path) {
  std::string text;
  return Utf8FromPath(path, text) ? text : std::string("(a name that is not valid Unicode)");
}

// path set to full's path below root, "/" between its segments, as far as
// they convert; false when one of them is not valid Unicode.
bool RelativeUtf8Path(const fs::path& root, const fs::path& full, std::string& path) {
  bool named = true;
  for (const fs::path& part : full.lexically_relative(root)) {
    std::string segment;
    named = named && Utf8FromPath(part, segment);
    path += (path.empty() ? "" : "/") + segment;
  }
  return named;
}

// Where the bytes of the walked entry full come from: itself, or the file
// inside root that a link leads to. A directory only sets item.isDirectory.
// 0, or 3 with message for anything the release cannot hold.
int ContentOf(const fs::path& root, const fs::path& full, fs::file_status status, ReleaseItem& item, fs::path& content,
              std::string& message) {
  content = full;
  if (fs::is_symlink(status)) {
    std::error_code error;
    const fs::path target = fs::canonical(full, error);
    if (error || !IsInside(root, target)) {
      message = "\"" + item.path + "\": a symbolic link that leaves the release directory (or leads nowhere)";
      return 3;
    }
    if (!fs::is_regular_file(target, error)) {
      message = "\"" + item.path + "\": a symbolic link to something other than a file";
      return 3;
    }
    content = target;
  } else if (fs::is_directory(status)) {
    item.isDirectory = true;
  } else if (!fs::is_regular_file(status)) {
    message = "\"" + item.path + "\": neither a file nor a directory";
    return 3;
  }
  return 0;
}

// item's digests and size, read from content; 0, or 4 with message.
int DigestItem(const fs::path& content, ReleaseItem& item, std::string& message) {
  UniqueFile in = OpenPath(content, false);
  FileDigests digests;
  if (!in || !DigestStream(in.get(), digests)) {
    message = "cannot read \"" + item.path + "\"";
    return 4;
  }
  item.hash = digests.md5;
  item.sha256 = digests.sha256;
  item.size = digests.size;
  return 0;
}

fs::path PartialDirectoryFor(const fs::path& out) {
  std::mt19937 random(
      static_cast<unsigned>(std::random_device()() ^ std::chrono::steady_clock::now().time_since_epoch().count()));
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".partial-%04x", static_cast<unsigned>(random() & 0xFFFF));
  fs::path partial = out;
  partial += suffix;
  return partial;
}

}  // namespace

bool WriteWholeFile(const fs::path& path, const std::string& bytes) {
  UniqueFile file = OpenPath(path, true);
  return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() && CloseFile(file);
}

int FillRelease(const fs::path& releaseDir, const ReleasePlan& plan, const std::string& manifestText,
                const std::string& signatureText, const fs::path& installer, const fs::path& partial,
                std::string& message) {
  std::error_code error;
  for (const PublishedFile& file : plan.files) {
    const fs::path target = partial / PathFromUtf8(file.servedPath);
    fs::create_directories(target.parent_path(), error);
    const fs::path source = file.fromRelease ? releaseDir / PathFromUtf8(file.path) : fs::path();
    FileDigests copied;
    if (!CopyAndHash(source, target, copied)) {
      message = "cannot copy \"" + file.path + "\" to \"" + Describe(target) + "\"";
      return 4;
    }
    // The manifest already names both digests: the bytes served must be those.
    if (copied.md5 != file.hash || copied.sha256 != file.sha256) {
      message = "\"" + file.path + "\" changed while it was being published; publish again";
      return 4;
    }
  }
  if (!plan.installerServedPath.empty()) {
    const fs::path target = partial / PathFromUtf8(plan.installerServedPath);
    fs::create_directories(target.parent_path(), error);
    FileDigests copied;
    if (!CopyAndHash(installer, target, copied)) {
      message = "cannot copy the installer \"" + Describe(installer) + "\"";
      return 4;
    }
    if (copied.sha256 != plan.manifest.install_package_sha256()) {
      message = "the installer \"" + Describe(installer) + "\" changed while it was being published; publish again";
      return 4;
    }
  }
  if (!signatureText.empty() && !WriteWholeFile(partial / "package.json.sig", signatureText)) {
    message = "cannot write package.json.sig";
    return 4;
  }
  if (!WriteWholeFile(partial / "package.json", manifestText)) {
    message = "cannot write package.json";
    return 4;
  }
  return 0;
}

fs::path PathFromUtf8(const std::string& utf8) {
#ifdef _WIN32
  if (utf8.empty()) return fs::path();
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], size);
  return fs::path(wide);
#else
  return fs::path(utf8);
#endif
}

bool Utf8FromPath(const fs::path& path, std::string& utf8) {
#ifdef _WIN32
  return WideToUtf8(path.native(), utf8);
#else
  utf8 = path.native();
  return true;
#endif
}

int WalkRelease(const fs::path& root, std::vector<ReleaseItem>& items, std::string& message) {
  std::error_code error;
  const fs::path canonicalRoot = fs::canonical(root, error);
  if (error) {
    message = "cannot read the release directory \"" + Describe(root) + "\": " + error.message();
    return 4;
  }
  items.clear();
  fs::recursive_directory_iterator walk(canonicalRoot, error);
  for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    const fs::path full = walk->path();
    ReleaseItem item;
    if (!RelativeUtf8Path(canonicalRoot, full, item.path)) {
      message = "\"" + item.path + "\": the name is not valid Unicode";
      return 3;
    }
    const fs::file_status status = walk->symlink_status(error);
    if (error) break;
    fs::path content;
    int result = ContentOf(canonicalRoot, full, status, item, content, message);
    if (result == 0 && !item.isDirectory) result = DigestItem(content, item, message);
    if (result != 0) return result;
    items.push_back(item);
  }
  if (error) {
    message = "cannot walk the release directory: " + error.message();
    return 4;
  }
  return 0;
}

bool ReadWholeFile(const fs::path& path, std::string& bytes) {
  UniqueFile in = OpenPath(path, false);
  if (!in) return false;
  bytes.clear();
  char buffer[1 << 14];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) bytes.append(buffer, got);
  return !std::ferror(in.get());
}

bool DigestFile(const fs::path& path, FileDigests& digests) {
  UniqueFile in = OpenPath(path, false);
  return in && DigestStream(in.get(), digests);
}

PartialRelease::~PartialRelease() {
  std::error_code error;
  if (!partial_.empty()) fs::remove_all(partial_, error);
}

int PartialRelease::Create(const fs::path& out, std::string& message) {
  std::error_code error;
  for (int attempt = 0; attempt < 16 && partial_.empty(); ++attempt) {
    const fs::path candidate = PartialDirectoryFor(out);
    if (fs::create_directory(candidate, error) && !error) partial_ = candidate;
  }
  if (partial_.empty()) {
    message = "cannot create a directory beside \"" + Describe(out) + "\"";
    return 4;
  }
  out_ = out;
  return 0;
}

int PartialRelease::Commit(std::string& message) {
  std::error_code error;
  // An empty out may stand (we refused a non-empty one before); rename()
  // cannot replace a directory on Windows, so it goes first.
  const bool hadEmptyOut = fs::is_directory(out_, error);
  if (hadEmptyOut) fs::remove(out_, error);
  fs::rename(partial_, out_, error);
  if (error) {
    if (hadEmptyOut) fs::create_directory(out_, error);
    message = "cannot rename \"" + Describe(partial_) + "\" to \"" + Describe(out_) + "\": " + error.message();
    return 4;
  }
  partial_.clear();
  return 0;
}

int WriteRelease(const fs::path& releaseDir, const ReleasePlan& plan, const std::string& manifestText,
                 const std::string& signatureText, const fs::path& installer, const fs::path& out,
                 std::string& message) {
  PartialRelease partial;
  int result = partial.Create(out, message);
  if (result == 0) {
    result = FillRelease(releaseDir, plan, manifestText, signatureText, installer, partial.path(), message);
  }
  if (result == 0) result = partial.Commit(message);
  return result;
}
