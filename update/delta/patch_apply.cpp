#include "update/delta/patch_apply.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"
#include "update/delta/block_reader.h"
#include "update/delta/label_table.h"
#include "update/delta/patch_format.h"
#include "update/delta/patch_labels.h"
#include "update/delta/patch_streams.h"
#include "update/delta/x86_branches.h"
#include "update/proof/streamed_digests.h"

namespace {

constexpr std::size_t kChunk = kBlockBytes;

struct PatchHeader {
  std::uint8_t version = 0;
  int streams = 0;
  std::uint64_t labels = 0;
  std::vector<PatchRange> baseRanges;
  std::vector<PatchRange> outputRanges;
  std::uint64_t baseSize = 0;
  std::uint64_t outputSize = 0;
  std::uint64_t nonZeroDiffs = 0;
  std::uint64_t streamOffset[kLabelledPatchStreams] = {};
  std::uint64_t streamLength[kLabelledPatchStreams] = {};
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

// The fixed part: version 1's 64 bytes, or version 2's 80.
bool ReadFixed(std::FILE* patch, std::uint64_t patchSize, unsigned char (&fixed)[kLabelledPatchHeaderBytes],
               PatchHeader& header) {
  if (patchSize < kPatchHeaderBytes || std::fread(fixed, 1, kPatchHeaderBytes, patch) != kPatchHeaderBytes) {
    return false;
  }
  if (!std::equal(kPatchMagic, kPatchMagic + 4, fixed) || fixed[7] != 0) return false;
  header.version = fixed[4];
  if (header.version == kPatchVersion) {
    header.streams = kPatchStreams;
    return true;
  }
  const std::size_t rest = kLabelledPatchHeaderBytes - kPatchHeaderBytes;
  if (header.version != kLabelledPatchVersion || patchSize < kLabelledPatchHeaderBytes ||
      std::fread(fixed + kPatchHeaderBytes, 1, rest, patch) != rest) {
    return false;
  }
  header.streams = kLabelledPatchStreams;
  header.labels = GetLe(fixed + 64, 8);
  return header.labels <= kMaxLabels / 2;
}

DecodeResult ReadHeader(std::FILE* patch, std::uint64_t patchSize, std::uint64_t baseSize, long long maxBytes,
                        PatchHeader& header) {
  unsigned char fixed[kLabelledPatchHeaderBytes] = {};
  if (!ReadFixed(patch, patchSize, fixed, header)) return DecodeResult::kCorrupt;
  header.baseSize = GetLe(fixed + 8, 8);
  header.outputSize = GetLe(fixed + 16, 8);
  // A patch of another base would read where nothing was matched.
  if (header.baseSize != baseSize) return DecodeResult::kCorrupt;
  if (maxBytes < 0 || header.outputSize > static_cast<std::uint64_t>(maxBytes)) return DecodeResult::kTooLong;
  header.nonZeroDiffs = GetLe(fixed + 24, 8);
  if (header.nonZeroDiffs > header.outputSize) return DecodeResult::kCorrupt;
  std::uint64_t offset = header.streams == kPatchStreams ? kPatchHeaderBytes : kLabelledPatchHeaderBytes;
  if (!ReadRanges(patch, fixed[5], header.baseSize, header.baseRanges) ||
      !ReadRanges(patch, fixed[6], header.outputSize, header.outputRanges)) {
    return DecodeResult::kCorrupt;
  }
  offset += (header.baseRanges.size() + header.outputRanges.size()) * kPatchRangeBytes;
  if (offset > patchSize) return DecodeResult::kCorrupt;
  for (int i = 0; i < header.streams; ++i) {
    const std::uint64_t length = GetLe(fixed + 32 + 8 * i + (i == kPatchStreams ? 8 : 0), 8);
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
DecodeResult CopyWithDiff(Streams& streams, BlockReader& base, std::uint64_t position, std::uint64_t size,
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

DecodeResult RunRecords(const PatchHeader& header, Streams& streams, BlockReader& base, Output& output) {
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

// The base as the records read it: as it is, with its branches absolute
// (version 1 with code ranges), or with its references as labels.
DecodeResult OpenBase(const PatchHeader& header, const std::string& basePath, BlockReader& base,
                      LabelledBase& labelled) {
  if (header.version == kLabelledPatchVersion) {
    return labelled.Open(basePath, header.baseSize, header.baseRanges, base);
  }
  bool opened = false;
  if (header.baseRanges.empty()) {
    opened = base.Open(basePath, header.baseSize, kNoScanPosition, {}, {});
  } else {
    const BlockRewrite absolute = [ranges = header.baseRanges](unsigned char* bytes, std::uint64_t start,
                                                               std::size_t size, std::uint64_t position,
                                                               std::uint64_t stopAt) {
      return RewriteBranches(bytes, start, size, ranges, position, stopAt, BranchForm::kAbsolute);
    };
    opened = base.Open(basePath, header.baseSize, FirstScanPosition(header.baseRanges), absolute, absolute);
  }
  return opened ? DecodeResult::kOk : DecodeResult::kCannotRead;
}

// The output's label table, read whole before the other streams start.
DecodeResult ReadLabelTable(const PatchHeader& header, const std::string& patchPath,
                            const std::vector<std::uint32_t>& baseTargets, LabelAddresses& labels) {
  FrameReader table;
  const int stream = kLabelledPatchStreams - 1;
  if (!table.Open(patchPath, header.streamOffset[stream], header.streamLength[stream])) {
    return DecodeResult::kCannotRead;
  }
  const TableByte next = [&table](unsigned char& byte) { return table.Read(&byte, 1); };
  if (labels.Decode(next, header.labels, baseTargets) && table.AtEnd()) return DecodeResult::kOk;
  return table.WindowTooLarge() ? DecodeResult::kWindowTooLarge : DecodeResult::kCorrupt;
}

// Runs the records into file, with the output's branches made relative
// again on the way for a version 1 patch with code ranges.
DecodeResult WriteRecords(const PatchHeader& header, const std::string& patchPath, BlockReader& base, std::FILE* file,
                          StreamedDigests* digests) {
  Streams streams;
  FrameReader* readers[kPatchStreams] = {&streams.control, &streams.diff.runs, &streams.diff.values, &streams.extra};
  for (int i = 0; i < kPatchStreams; ++i) {
    if (!readers[i]->Open(patchPath, header.streamOffset[i], header.streamLength[i])) return DecodeResult::kCannotRead;
  }
  streams.diff.Expect(header.nonZeroDiffs, header.outputSize);
  const bool labelled = header.version == kLabelledPatchVersion;
  Output output(file, labelled ? nullptr : digests, labelled ? std::vector<PatchRange>() : header.outputRanges);
  DecodeResult result = RunRecords(header, streams, base, output);
  for (FrameReader* reader : readers) {
    if (result == DecodeResult::kCorrupt && reader->WindowTooLarge()) result = DecodeResult::kWindowTooLarge;
  }
  return result;
}

// Removes a file of ours when it goes out of scope, whatever happened.
class RemovedOnExit {
 public:
  explicit RemovedOnExit(std::string path) : path_(std::move(path)) {}
  ~RemovedOnExit() { RemoveNarrowPath(path_); }
  RemovedOnExit(const RemovedOnExit&) = delete;
  RemovedOnExit& operator=(const RemovedOnExit&) = delete;

 private:
  std::string path_;
};

// A labelled patch: the records write the output with its labels beside the
// target, then it is copied into the target with its addresses back.
DecodeResult ApplyLabelled(const PatchHeader& header, const std::string& patchPath, BlockReader& base,
                           const LabelledBase& labelled, std::FILE* target, StreamedDigests* digests,
                           const std::string& targetPath) {
  LabelAddresses labels;
  DecodeResult result = ReadLabelTable(header, patchPath, labelled.targets(), labels);
  if (result != DecodeResult::kOk) return result;
  const std::string labelledPath = targetPath + ".labelled";
  const RemovedOnExit removed(labelledPath);
  {
    UniqueFile file(OpenNarrowPath(labelledPath, "wb"));
    if (!file) return DecodeResult::kCannotWrite;
    result = WriteRecords(header, patchPath, base, file.get(), nullptr);
    if (result == DecodeResult::kOk && labelled.failed()) result = DecodeResult::kCorrupt;
    if (result == DecodeResult::kOk && !CloseFile(file)) result = DecodeResult::kCannotWrite;
    if (result != DecodeResult::kOk) return result;
  }
  return WriteUnlabelled(labelledPath, header.outputSize, header.outputRanges, labels, target, digests);
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
  BlockReader base;
  LabelledBase labelled;
  DecodeResult result = OpenBase(header, basePath, base, labelled);
  if (result != DecodeResult::kOk) return result;
  UniqueFile target(OpenNarrowPath(targetPath, "wb"));
  if (!target) return DecodeResult::kCannotWrite;
  if (header.version == kLabelledPatchVersion) {
    result = ApplyLabelled(header, patchPath, base, labelled, target.get(), digests, targetPath);
  } else {
    result = WriteRecords(header, patchPath, base, target.get(), digests);
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
