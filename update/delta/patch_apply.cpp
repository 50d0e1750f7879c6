#include "update/delta/patch_apply.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"
#include "update/delta/patch_format.h"
#include "update/delta/patch_streams.h"
#include "update/delta/x86_branches.h"
#include "update/proof/streamed_digests.h"

namespace {

constexpr std::size_t kChunk = 64 * 1024;

// The installed file, read where the patch points, one block kept. With code
// ranges, each block is read with the few bytes around it and its branches
// rewritten from the scan position a first pass noted for the block.
class BaseReader {
 public:
  bool Open(const std::string& path, std::uint64_t size, std::vector<PatchRange> ranges) {
    file_.Reset(OpenNarrowPath(path, "rb"));
    size_ = size;
    ranges_ = std::move(ranges);
    block_.resize(kChunk);
    return file_ && (ranges_.empty() || NoteScanPositions());
  }

  // The caller has checked that [position, position + size) lies in the base.
  bool Read(std::uint64_t position, std::size_t size, unsigned char* out) {
    while (size > 0) {
      const std::uint64_t index = position / kChunk;
      if (index != loaded_ && !Load(index)) return false;
      const std::size_t at = static_cast<std::size_t>(position % kChunk);
      const std::size_t take = std::min(size, kChunk - at);
      std::copy_n(block_.data() + at, take, out);
      position += take;
      out += take;
      size -= take;
    }
    return true;
  }

 private:
  // Block index with the bytes a branch may reach into it from either side,
  // rewritten as the whole file's scan would; stops scanning at stopAt.
  bool ReadRewritten(std::uint64_t index, std::uint64_t stopAt, std::uint64_t& next) {
    const std::uint64_t start = index * kChunk;
    const std::uint64_t from = start < kLongestBranch ? 0 : start - kLongestBranch;
    const std::uint64_t to = std::min(size_, start + kChunk + kLongestBranch);
    window_.resize(static_cast<std::size_t>(to - from));
    if (!SeekWithin(file_.get(), from) ||
        std::fread(window_.data(), 1, window_.size(), file_.get()) != window_.size()) {
      return false;
    }
    next =
        RewriteBranches(window_.data(), from, window_.size(), ranges_, scanAt_[index], stopAt, BranchForm::kAbsolute);
    return true;
  }

  // The first scan position at or past each block's start less the longest
  // branch: from there a block's rewriting matches the whole file's.
  bool NoteScanPositions() {
    const std::uint64_t blocks = (size_ + kChunk - 1) / kChunk;
    scanAt_.assign(1, FirstScanPosition(ranges_));
    for (std::uint64_t index = 0; index < blocks; ++index) {
      std::uint64_t next = 0;
      if (!ReadRewritten(index, (index + 1) * kChunk - kLongestBranch, next)) return false;
      scanAt_.push_back(next);
    }
    return true;
  }

  bool Load(std::uint64_t index) {
    const std::uint64_t start = index * kChunk;
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size_ - start));
    loaded_ = UINT64_MAX;
    if (ranges_.empty()) {
      if (!SeekWithin(file_.get(), start) || std::fread(block_.data(), 1, size, file_.get()) != size) return false;
    } else {
      std::uint64_t next = 0;
      if (!ReadRewritten(index, start + kChunk, next)) return false;
      std::copy_n(window_.data() + (start - (start < kLongestBranch ? 0 : start - kLongestBranch)), size,
                  block_.data());
    }
    loaded_ = index;
    return true;
  }

  UniqueFile file_;
  std::uint64_t size_ = 0;
  std::vector<PatchRange> ranges_;
  std::vector<std::uint64_t> scanAt_;
  std::vector<unsigned char> block_;
  std::vector<unsigned char> window_;
  std::uint64_t loaded_ = UINT64_MAX;
};

struct PatchHeader {
  std::vector<PatchRange> baseRanges;
  std::vector<PatchRange> outputRanges;
  std::uint64_t baseSize = 0;
  std::uint64_t outputSize = 0;
  std::uint64_t nonZeroDiffs = 0;
  std::uint64_t streamOffset[kPatchStreams] = {};
  std::uint64_t streamLength[kPatchStreams] = {};
};

// count code ranges, sorted, disjoint and within a file of fileSize bytes.
bool ReadRanges(std::FILE* patch, std::size_t count, std::uint64_t fileSize, std::vector<PatchRange>& ranges) {
  if (count > kMaxPatchRanges) return false;
  std::uint64_t previousEnd = 0;
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char bytes[kPatchRangeBytes];
    if (std::fread(bytes, 1, sizeof bytes, patch) != sizeof bytes) return false;
    PatchRange range;
    range.fileStart = static_cast<std::uint32_t>(GetLe(bytes, 4));
    range.fileEnd = static_cast<std::uint32_t>(GetLe(bytes + 4, 4));
    range.rvaStart = static_cast<std::uint32_t>(GetLe(bytes + 8, 4));
    if (range.fileStart < previousEnd || range.fileStart >= range.fileEnd || range.fileEnd > fileSize) return false;
    previousEnd = range.fileEnd;
    ranges.push_back(range);
  }
  return true;
}

DecodeResult ReadHeader(std::FILE* patch, std::uint64_t patchSize, std::uint64_t baseSize, long long maxBytes,
                        PatchHeader& header) {
  unsigned char fixed[kPatchHeaderBytes];
  if (patchSize < kPatchHeaderBytes || std::fread(fixed, 1, sizeof fixed, patch) != sizeof fixed) {
    return DecodeResult::kCorrupt;
  }
  if (!std::equal(kPatchMagic, kPatchMagic + 4, fixed) || fixed[4] != kPatchVersion || fixed[7] != 0) {
    return DecodeResult::kCorrupt;
  }
  header.baseSize = GetLe(fixed + 8, 8);
  header.outputSize = GetLe(fixed + 16, 8);
  // A patch of another base would read where nothing was matched.
  if (header.baseSize != baseSize) return DecodeResult::kCorrupt;
  if (maxBytes < 0 || header.outputSize > static_cast<std::uint64_t>(maxBytes)) return DecodeResult::kTooLong;
  header.nonZeroDiffs = GetLe(fixed + 24, 8);
  if (header.nonZeroDiffs > header.outputSize) return DecodeResult::kCorrupt;
  std::uint64_t offset = kPatchHeaderBytes;
  if (!ReadRanges(patch, fixed[5], header.baseSize, header.baseRanges) ||
      !ReadRanges(patch, fixed[6], header.outputSize, header.outputRanges)) {
    return DecodeResult::kCorrupt;
  }
  offset += (header.baseRanges.size() + header.outputRanges.size()) * kPatchRangeBytes;
  if (offset > patchSize) return DecodeResult::kCorrupt;
  for (int i = 0; i < kPatchStreams; ++i) {
    const std::uint64_t length = GetLe(fixed + 32 + 8 * i, 8);
    if (length > patchSize - offset) return DecodeResult::kCorrupt;
    header.streamOffset[i] = offset;
    header.streamLength[i] = length;
    offset += length;
  }
  return offset == patchSize ? DecodeResult::kOk : DecodeResult::kCorrupt;
}

// The target as the records make it, its branches rewritten back to
// relative form on the way when it has code ranges.
class Output {
 public:
  Output(std::FILE* file, StreamedDigests* digests, std::vector<PatchRange> ranges)
      : file_(file),
        digests_(digests),
        rewrite_(!ranges.empty()),
        branches_(std::move(ranges), BranchForm::kRelative) {}

  bool Write(const unsigned char* bytes, std::size_t size) {
    if (!rewrite_) return Put(bytes, size);
    ready_.clear();
    branches_.Feed(bytes, size, ready_);
    return Put(ready_.data(), ready_.size());
  }

  bool Finish() {
    ready_.clear();
    branches_.Finish(ready_);
    return Put(ready_.data(), ready_.size());
  }

 private:
  bool Put(const unsigned char* bytes, std::size_t size) {
    if (size == 0) return true;
    if (digests_ != nullptr) digests_->Update(bytes, size);
    return std::fwrite(bytes, 1, size, file_) == size;
  }

  std::FILE* file_;
  StreamedDigests* digests_;
  bool rewrite_;
  BranchStream branches_;
  std::vector<unsigned char> ready_;
};

struct Streams {
  FrameReader control, extra;
  DiffReader diff;
};

// Copies size bytes of the base from position, each plus its diff byte.
DecodeResult CopyWithDiff(Streams& streams, BaseReader& base, std::uint64_t position, std::uint64_t size,
                          Output& output) {
  std::vector<unsigned char> diff(kChunk), old(kChunk);
  while (size > 0) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk));
    if (!streams.diff.Read(diff.data(), take)) return DecodeResult::kCorrupt;
    if (!base.Read(position, take, old.data())) return DecodeResult::kCannotRead;
    for (std::size_t i = 0; i < take; ++i) diff[i] = static_cast<unsigned char>(diff[i] + old[i]);
    if (!output.Write(diff.data(), take)) return DecodeResult::kCannotWrite;
    position += take;
    size -= take;
  }
  return DecodeResult::kOk;
}

DecodeResult Insert(FrameReader& extra, std::uint64_t size, Output& output) {
  std::vector<unsigned char> bytes(kChunk);
  while (size > 0) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk));
    if (!extra.Read(bytes.data(), take)) return DecodeResult::kCorrupt;
    if (!output.Write(bytes.data(), take)) return DecodeResult::kCannotWrite;
    size -= take;
  }
  return DecodeResult::kOk;
}

// Moves position by the signed seek, which must keep it within the base.
bool Seek(std::uint64_t seek, std::uint64_t baseSize, std::uint64_t& position) {
  if (seek >> 63) {
    const std::uint64_t back = ~seek + 1;
    if (back > position) return false;
    position -= back;
  } else {
    if (seek > baseSize - position) return false;
    position += seek;
  }
  return true;
}

DecodeResult RunRecords(const PatchHeader& header, Streams& streams, BaseReader& base, Output& output) {
  std::uint64_t written = 0;
  std::uint64_t position = 0;
  bool first = true;
  while (written < header.outputSize) {
    unsigned char record[kControlRecordBytes];
    if (!streams.control.Read(record, sizeof record)) return DecodeResult::kCorrupt;
    const std::uint64_t copy = GetLe(record, 8);
    const std::uint64_t insert = GetLe(record + 8, 8);
    // Only the first record may write nothing (it moves the read position
    // before any copy); any other empty one could spin without end.
    if (copy == 0 && insert == 0 && !first) return DecodeResult::kCorrupt;
    first = false;
    if (copy > header.outputSize - written || copy > header.baseSize - position) return DecodeResult::kCorrupt;
    DecodeResult result = CopyWithDiff(streams, base, position, copy, output);
    if (result != DecodeResult::kOk) return result;
    written += copy;
    position += copy;
    if (insert > header.outputSize - written) return DecodeResult::kCorrupt;
    result = Insert(streams.extra, insert, output);
    if (result != DecodeResult::kOk) return result;
    written += insert;
    if (!Seek(GetLe(record + 16, 8), header.baseSize, position)) return DecodeResult::kCorrupt;
  }
  const bool whole = streams.control.AtEnd() && streams.diff.AtEnd() && streams.extra.AtEnd();
  if (!whole) return DecodeResult::kCorrupt;
  return output.Finish() ? DecodeResult::kOk : DecodeResult::kCannotWrite;
}

DecodeResult Apply(const std::string& basePath, const std::string& patchPath, const std::string& targetPath,
                   long long maxBytes, StreamedDigests* digests) {
  const long long baseSize = NarrowFileSize(basePath);
  const long long patchSize = NarrowFileSize(patchPath);
  if (baseSize < 0 || patchSize < 0) return DecodeResult::kCannotRead;
  PatchHeader header;
  {
    UniqueFile patch(OpenNarrowPath(patchPath, "rb"));
    if (!patch) return DecodeResult::kCannotRead;
    const DecodeResult result = ReadHeader(patch.get(), static_cast<std::uint64_t>(patchSize),
                                           static_cast<std::uint64_t>(baseSize), maxBytes, header);
    if (result != DecodeResult::kOk) return result;
  }
  Streams streams;
  FrameReader* readers[kPatchStreams] = {&streams.control, &streams.diff.runs, &streams.diff.values, &streams.extra};
  for (int i = 0; i < kPatchStreams; ++i) {
    if (!readers[i]->Open(patchPath, header.streamOffset[i], header.streamLength[i])) return DecodeResult::kCannotRead;
  }
  streams.diff.Expect(header.nonZeroDiffs, header.outputSize);
  BaseReader base;
  if (!base.Open(basePath, header.baseSize, header.baseRanges)) return DecodeResult::kCannotRead;
  UniqueFile target(OpenNarrowPath(targetPath, "wb"));
  if (!target) return DecodeResult::kCannotWrite;
  Output output(target.get(), digests, header.outputRanges);
  DecodeResult result = RunRecords(header, streams, base, output);
  for (FrameReader* reader : readers) {
    if (result == DecodeResult::kCorrupt && reader->WindowTooLarge()) result = DecodeResult::kWindowTooLarge;
  }
  if (result == DecodeResult::kOk && !CloseFile(target)) result = DecodeResult::kCannotWrite;
  return result;
}

}  // namespace

DecodeResult ApplyPatchFile(const std::string& basePath, const std::string& patchPath, const std::string& targetPath,
                            long long maxBytes, StreamedDigests* outputDigests) {
  if (outputDigests != nullptr) outputDigests->Reset();
  const DecodeResult result = Apply(basePath, patchPath, targetPath, maxBytes, outputDigests);
  // Apply has closed the target by now: Windows deletes no open file.
  if (result != DecodeResult::kOk) RemoveNarrowPath(targetPath);
  return result;
}
