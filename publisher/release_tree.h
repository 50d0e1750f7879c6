#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "publisher/release_plan.h"

// The publisher's file-system layer: walks the release directory, hashes and
// copies files, and writes the output directory so that it appears whole or
// not at all. Names cross it as UTF-8; on Windows the wide names are
// converted exactly (a name that is not valid UTF-16 is refused).
// Results: 0 done, 3 refused (message names the file), 4 I/O failure.

namespace fs = std::filesystem;

fs::path PathFromUtf8(const std::string& utf8);
// True when the path's text is valid UTF-8 (Linux: any bytes; checked later).
bool Utf8FromPath(const fs::path& path, std::string& utf8);

struct FileDigests {
  std::string md5;     // 32 upper-case hex digits
  std::string sha256;  // 64 lower-case hex digits
  long long size = 0;  // bytes read
};

// Both digests of the file read to its end; false when it cannot be.
bool DigestFile(const fs::path& path, FileDigests& digests);

// Every file and directory below root, files with both their digests. Symbolic
// links to files inside root count as those files; links that leave root,
// links to directories, dangling links, devices, pipes and sockets are refused.
int WalkRelease(const fs::path& root, std::vector<ReleaseItem>& items, std::string& message);

bool ReadWholeFile(const fs::path& path, std::string& bytes);
// Creates or truncates path; true when all of bytes reached it.
bool WriteWholeFile(const fs::path& path, const std::string& bytes);

// A new directory beside out that becomes out, whole, at Commit; removed
// with everything in it when dropped uncommitted. Results as above.
class PartialRelease {
 public:
  PartialRelease() = default;
  ~PartialRelease();
  PartialRelease(const PartialRelease&) = delete;
  PartialRelease& operator=(const PartialRelease&) = delete;

  int Create(const fs::path& out, std::string& message);
  const fs::path& path() const { return partial_; }
  // out must not exist or be an empty directory; on failure it is left as it was.
  int Commit(std::string& message);

 private:
  fs::path out_;
  fs::path partial_;
};

// Writes into partial what WriteRelease describes, the renaming apart.
int FillRelease(const fs::path& releaseDir, const ReleasePlan& plan, const std::string& manifestText,
                const std::string& signatureText, const fs::path& installer, const fs::path& partial,
                std::string& message);

// Writes plan's files (copied from releaseDir, each proved against both its
// digests while copied), the installer (proved against the manifest's
// install_package_sha256), manifestText as package.json and, when
// signatureText is not empty, signatureText as package.json.sig, into a new
// directory beside out, then renames it to out: the release appears with its
// signature or not at all. out must not exist or be an empty directory. On
// any failure the new directory is removed and out is left as it was.
int WriteRelease(const fs::path& releaseDir, const ReleasePlan& plan, const std::string& manifestText,
                 const std::string& signatureText, const fs::path& installer, const fs::path& out,
                 std::string& message);
