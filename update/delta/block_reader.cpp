#include "update/delta/block_reader.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/narrow_file.h"
#include "update/delta/patch_streams.h"
#include "update/delta/reference_labels.h"
#include "update/delta/x86_branches.h"

bool BlockReader::Open(const std::string& path, std::uint64_t size, std::uint64_t first, const BlockRewrite& notePass,
                       BlockRewrite rewrite) {
  file_.Reset(OpenNarrowPath(path, "rb"));
  size_ = size;
  rewrite_ = std::move(rewrite);
  kept_.assign(static_cast<std::size_t>(std::min<std::uint64_t>(kKeptBlocks, size / kBlockBytes + 1)), Kept());
  return file_ && (!rewrite_ || NoteScanPositions(first, notePass));
}

bool BlockReader::Read(std::uint64_t position, std::size_t size, unsigned char* out) {
  while (size > 0) {
    const unsigned char* block = Block(position / kBlockBytes);
    if (block == nullptr) return false;
    const std::size_t at = static_cast<std::size_t>(position % kBlockBytes);
    const std::size_t take = std::min(size, kBlockBytes - at);
    std::copy_n(block + at, take, out);
    position += take;
    out += take;
    size -= take;
  }
  return true;
}

bool BlockReader::ReadRewritten(std::uint64_t index, std::uint64_t stopAt, const BlockRewrite& rewrite,
                                std::uint64_t& next) {
  const std::uint64_t start = index * kBlockBytes;
  const std::uint64_t from = start < kReferenceMargin ? 0 : start - kReferenceMargin;
  const std::uint64_t to = std::min(size_, start + kBlockBytes + kReferenceMargin);
  window_.resize(static_cast<std::size_t>(to - from));
  if (!SeekWithin(file_.get(), from) || std::fread(window_.data(), 1, window_.size(), file_.get()) != window_.size()) {
    return false;
  }
  next = rewrite(window_.data(), from, window_.size(), scanAt_[index], stopAt);
  return true;
}

// The first scan position at or past each block's start less the longest
// branch: from there a block's rewriting matches the whole file's.
bool BlockReader::NoteScanPositions(std::uint64_t first, const BlockRewrite& notePass) {
  const std::uint64_t blocks = (size_ + kBlockBytes - 1) / kBlockBytes;
  scanAt_.assign(1, first);
  for (std::uint64_t index = 0; index < blocks; ++index) {
    std::uint64_t next = 0;
    if (!ReadRewritten(index, (index + 1) * kBlockBytes - kLongestCandidate, notePass, next)) return false;
    scanAt_.push_back(next);
  }
  return true;
}

const unsigned char* BlockReader::Block(std::uint64_t index) {
  Kept* oldest = &kept_.front();
  for (Kept& kept : kept_) {
    if (kept.index == index) {
      kept.used = ++uses_;
      return kept.bytes.data();
    }
    if (kept.used < oldest->used) oldest = &kept;
  }
  oldest->index = UINT64_MAX;
  oldest->bytes.resize(kBlockBytes);
  if (!Load(index, oldest->bytes.data())) return nullptr;
  oldest->index = index;
  oldest->used = ++uses_;
  return oldest->bytes.data();
}

bool BlockReader::Load(std::uint64_t index, unsigned char* block) {
  const std::uint64_t start = index * kBlockBytes;
  const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockBytes, size_ - start));
  if (!rewrite_) {
    return SeekWithin(file_.get(), start) && std::fread(block, 1, size, file_.get()) == size;
  }
  std::uint64_t next = 0;
  if (!ReadRewritten(index, start + kBlockBytes, rewrite_, next)) return false;
  std::copy_n(window_.data() + (start < kReferenceMargin ? start : kReferenceMargin), size, block);
  return true;
}
