#pragma once

// Both digests a file is proved by, taken from its bytes as they are written,
// so a whole download needs no second read to be judged. One object follows
// one file on one thread.

#include <cstddef>
#include <memory>
#include <string>

#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"

// The finished digests of a file: MD5 as manifests carry it (32 upper-case
// hex digits), SHA-256 as signed manifests do (64 lower-case hex digits).
struct FileDigestTexts {
  std::string md5;
  std::string sha256;
};

class StreamedDigests {
 public:
  // Without withSha256 only MD5 is taken, and Finish gives an empty SHA-256:
  // a file that only its MD5 proves (no release key) is hashed at less than
  // half the cost.
  explicit StreamedDigests(bool withSha256 = true) : withSha256_(withSha256) { Reset(); }

  // Forgets every byte: the file starts again from its first.
  void Reset();
  void Update(const void* data, std::size_t length);
  // Feeds the first length bytes of the file at path (the part a resumed
  // download keeps); false when they cannot all be read.
  bool UpdateFromFile(const std::string& path, long long length);
  // The digests of every byte fed since the last Reset; the object is then
  // reset, ready for another file.
  FileDigestTexts Finish();

 private:
  bool withSha256_;
  std::unique_ptr<CMD5Checksum> md5_;
  std::unique_ptr<Sha256Digest> sha256_;
};
