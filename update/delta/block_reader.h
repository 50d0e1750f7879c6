#pragma once

// A file read at any position, the last kKeptBlocks blocks of 64 KiB kept
// (the records of a patch come back to a block often), each block rewritten
// as a rewriting of the whole file would have left it (x86_branches.h,
// reference_labels.h): a block is read with kReferenceMargin bytes either
// side and scanned from the position that a first pass over the file noted
// for it. Any thread; paths are narrow text (code page 936 on Windows).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/unique_resource.h"

inline constexpr std::size_t kBlockBytes = 64 * 1024;
inline constexpr std::size_t kKeptBlocks = 64;

// Rewrites bytes, the file's offsets [bytesStart, bytesStart + size),
// scanning from position up to stopAt; returns the next scan position.
using BlockRewrite = std::function<std::uint64_t(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                                                 std::uint64_t position, std::uint64_t stopAt)>;

class BlockReader {
 public:
  // The file of size bytes as it is when rewrite is empty. Otherwise the
  // first pass calls notePass over the whole file from scan position first,
  // and blocks read later are rewritten by rewrite; both must scan alike.
  bool Open(const std::string& path, std::uint64_t size, std::uint64_t first, const BlockRewrite& notePass,
            BlockRewrite rewrite);

  // Reads [position, position + size), which the caller has checked lies in the file.
  bool Read(std::uint64_t position, std::size_t size, unsigned char* out);

 private:
  bool ReadRewritten(std::uint64_t index, std::uint64_t stopAt, const BlockRewrite& rewrite, std::uint64_t& next);
  bool NoteScanPositions(std::uint64_t first, const BlockRewrite& notePass);
  // The kept block of index, loaded into the one used longest ago if need be.
  const unsigned char* Block(std::uint64_t index);
  bool Load(std::uint64_t index, unsigned char* block);

  UniqueFile file_;
  std::uint64_t size_ = 0;
  BlockRewrite rewrite_;
  std::vector<std::uint64_t> scanAt_;
  struct Kept {
    std::uint64_t index = UINT64_MAX;
    std::uint64_t used = 0;
    std::vector<unsigned char> bytes;
  };
  std::vector<Kept> kept_;
  std::uint64_t uses_ = 0;
  std::vector<unsigned char> window_;
};
