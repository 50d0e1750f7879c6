#include "publisher/patch_make.h"

#include <divsufsort.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/unique_resource.h"
#include "publisher/image_labels.h"
#include "publisher/pe_code_ranges.h"
#include "update/delta/patch_format.h"
#include "update/delta/x86_branches.h"

namespace {

using UniqueCContext = UniqueResource<NullableTraits<ZSTD_CCtx*, &ZSTD_freeCCtx>>;
using Bytes = const unsigned char*;

// The base with its suffixes sorted, for finding the longest match of any
// stretch of the target.
class SuffixIndex {
 public:
  explicit SuffixIndex(const std::string& base)
      : base_(reinterpret_cast<Bytes>(base.data())), size_(static_cast<std::int64_t>(base.size())) {
    suffixes_.resize(base.size());
    if (size_ > 0 && divsufsort(base_, suffixes_.data(), static_cast<saidx_t>(size_)) != 0) suffixes_.clear();
  }
  bool Sorted() const { return size_ == 0 || !suffixes_.empty(); }

  // The longest prefix of text[0, length) that occurs in the base; position where.
  std::int64_t LongestMatch(Bytes text, std::int64_t length, std::int64_t& position) const {
    position = 0;
    if (size_ == 0 || length == 0) return 0;
    std::int64_t low = 0;
    std::int64_t high = size_ - 1;
    // Binary search for the neighbours between which text sorts; the longest
    // match is the longer of the two.
    while (high - low > 1) {
      const std::int64_t middle = low + (high - low) / 2;
      if (Compare(suffixes_[middle], text, length) < 0) {
        low = middle;
      } else {
        high = middle;
      }
    }
    const std::int64_t atLow = Common(suffixes_[low], text, length);
    const std::int64_t atHigh = Common(suffixes_[high], text, length);
    position = atLow >= atHigh ? suffixes_[low] : suffixes_[high];
    return std::max(atLow, atHigh);
  }

 private:
  std::int64_t Common(std::int64_t at, Bytes text, std::int64_t length) const {
    const std::int64_t limit = std::min(size_ - at, length);
    std::int64_t i = 0;
    while (i < limit && base_[at + i] == text[i]) ++i;
    return i;
  }
  int Compare(std::int64_t at, Bytes text, std::int64_t length) const {
    const std::int64_t common = Common(at, text, length);
    if (common == std::min(size_ - at, length)) return size_ - at < length ? -1 : (size_ - at == length ? 0 : 1);
    return base_[at + common] < text[common] ? -1 : 1;
  }

  Bytes base_;
  std::int64_t size_;
  std::vector<saidx_t> suffixes_;
};

struct Record {
  std::int64_t copy = 0;
  std::int64_t insert = 0;
  std::int64_t seek = 0;
};

class PatchStreams {
 public:
  PatchStreams(const std::string& base, const std::string& target)
      : base_(reinterpret_cast<Bytes>(base.data())), target_(reinterpret_cast<Bytes>(target.data())) {}

  // Copies copy bytes from basePosition against targetPosition, inserts the
  // insert bytes after them, and moves the base's read position by seek.
  void Add(std::int64_t targetPosition, std::int64_t basePosition, const Record& record) {
    for (std::int64_t i = 0; i < record.copy; ++i) {
      AddDiff(static_cast<unsigned char>(target_[targetPosition + i] - base_[basePosition + i]));
    }
    extra_.append(reinterpret_cast<const char*>(target_ + targetPosition + record.copy),
                  static_cast<std::size_t>(record.insert));
    // An empty record only moves the read position: fold it into the one
    // before, so that the applier can refuse empty records after the first.
    if (record.copy == 0 && record.insert == 0 && !records_.empty()) {
      records_.back().seek += record.seek;
    } else {
      records_.push_back(record);
    }
  }

  std::string Control() const {
    std::string control(records_.size() * kControlRecordBytes, '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(&control[0]);
    for (const Record& record : records_) {
      PutLe(out, static_cast<std::uint64_t>(record.copy), 8);
      PutLe(out + 8, static_cast<std::uint64_t>(record.insert), 8);
      PutLe(out + 16, static_cast<std::uint64_t>(record.seek), 8);
      out += kControlRecordBytes;
    }
    return control;
  }
  const std::string& Runs() const { return runs_; }
  const std::string& Values() const { return values_; }
  const std::string& Extra() const { return extra_; }
  std::uint64_t NonZeroDiffs() const { return values_.size(); }

 private:
  void AddDiff(unsigned char diff) {
    if (diff == 0) {
      ++zeros_;
      return;
    }
    for (; zeros_ >= 0x80; zeros_ >>= 7) runs_.push_back(static_cast<char>((zeros_ & 0x7F) | 0x80));
    runs_.push_back(static_cast<char>(zeros_));
    values_.push_back(static_cast<char>(diff));
    zeros_ = 0;
  }

  Bytes base_;
  Bytes target_;
  std::vector<Record> records_;
  std::uint64_t zeros_ = 0;
  std::string runs_;
  std::string values_;
  std::string extra_;
};

// The matching of the target against the base: exact matches from the index
// are extended forwards and backwards for as long as at least half of the
// bytes agree, and what lies between two extended matches is inserted whole.
class Differencer {
 public:
  Differencer(const SuffixIndex& index, const std::string& base, const std::string& target, PatchStreams& out)
      : index_(index),
        base_(reinterpret_cast<Bytes>(base.data())),
        target_(reinterpret_cast<Bytes>(target.data())),
        baseSize_(static_cast<std::int64_t>(base.size())),
        targetSize_(static_cast<std::int64_t>(target.size())),
        out_(out) {}

  void Run() {
    while (scan_ < targetSize_) {
      // A new exact match is worth a record only where the old alignment
      // (the last match's offset carried on) does clearly worse.
      if (FindNextMatch()) EmitUpToMatch();
    }
  }

 private:
  bool Agrees(std::int64_t targetPosition, std::int64_t offset) const {
    const std::int64_t at = targetPosition + offset;
    return at >= 0 && at < baseSize_ && base_[at] == target_[targetPosition];
  }

  // Advances scan_ to the next exact match that the old alignment does not
  // already cover; false when the old alignment covers it as well.
  bool FindNextMatch() {
    std::int64_t oldScore = 0;
    scan_ += length_;
    std::int64_t scored = scan_;
    for (; scan_ < targetSize_; ++scan_) {
      length_ = index_.LongestMatch(target_ + scan_, targetSize_ - scan_, position_);
      for (; scored < scan_ + length_; ++scored) {
        if (Agrees(scored, lastOffset_)) ++oldScore;
      }
      if ((length_ == oldScore && length_ != 0) || length_ > oldScore + 8) break;
      if (Agrees(scan_, lastOffset_)) --oldScore;
    }
    return length_ != oldScore || scan_ == targetSize_;
  }

  // How far the last match extends forwards with at least half its bytes agreeing.
  std::int64_t ExtendForward() const {
    std::int64_t agreeing = 0, best = 0, length = 0;
    for (std::int64_t i = 0; lastScan_ + i < scan_ && lastPosition_ + i < baseSize_;) {
      if (base_[lastPosition_ + i] == target_[lastScan_ + i]) ++agreeing;
      ++i;
      if (agreeing * 2 - i > best * 2 - length) {
        best = agreeing;
        length = i;
      }
    }
    return length;
  }

  // How far the new match extends backwards, likewise.
  std::int64_t ExtendBackward() const {
    if (scan_ >= targetSize_) return 0;
    std::int64_t agreeing = 0, best = 0, length = 0;
    for (std::int64_t i = 1; scan_ >= lastScan_ + i && position_ >= i; ++i) {
      if (base_[position_ - i] == target_[scan_ - i]) ++agreeing;
      if (agreeing * 2 - i > best * 2 - length) {
        best = agreeing;
        length = i;
      }
    }
    return length;
  }

  // Where both extensions claim the same target bytes, the split that agrees most.
  void ResolveOverlap(std::int64_t& forward, std::int64_t& backward) const {
    const std::int64_t overlap = (lastScan_ + forward) - (scan_ - backward);
    if (overlap <= 0) return;
    std::int64_t score = 0, best = 0, split = 0;
    for (std::int64_t i = 0; i < overlap; ++i) {
      const std::int64_t t = lastScan_ + forward - overlap + i;
      if (target_[t] == base_[lastPosition_ + forward - overlap + i]) ++score;
      if (target_[scan_ - backward + i] == base_[position_ - backward + i]) --score;
      if (score > best) {
        best = score;
        split = i + 1;
      }
    }
    forward += split - overlap;
    backward -= split;
  }

  void EmitUpToMatch() {
    std::int64_t forward = ExtendForward();
    std::int64_t backward = ExtendBackward();
    ResolveOverlap(forward, backward);
    Record record;
    record.copy = forward;
    record.insert = (scan_ - backward) - (lastScan_ + forward);
    record.seek = (position_ - backward) - (lastPosition_ + forward);
    out_.Add(lastScan_, lastPosition_, record);
    lastScan_ = scan_ - backward;
    lastPosition_ = position_ - backward;
    lastOffset_ = position_ - scan_;
  }

  const SuffixIndex& index_;
  Bytes base_;
  Bytes target_;
  std::int64_t baseSize_;
  std::int64_t targetSize_;
  PatchStreams& out_;
  std::int64_t scan_ = 0, length_ = 0, position_ = 0;
  std::int64_t lastScan_ = 0, lastPosition_ = 0, lastOffset_ = 0;
};

bool Compress(const std::string& bytes, int level, std::string& frame) {
  UniqueCContext context(ZSTD_createCCtx());
  if (!context) return false;
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
  // The applier holds three windows at once; cap each at what it allows.
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, kPatchStreamWindowLog);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  frame.resize(ZSTD_compressBound(bytes.size()));
  const std::size_t size = ZSTD_compress2(context.get(), &frame[0], frame.size(), bytes.data(), bytes.size());
  if (ZSTD_isError(size)) return false;
  frame.resize(size);
  return true;
}

}  // namespace

namespace {

void PutRanges(const std::vector<PatchRange>& ranges, std::string& patch) {
  for (const PatchRange& range : ranges) {
    unsigned char bytes[kPatchRangeBytes];
    PutLe(bytes, range.fileStart, 4);
    PutLe(bytes + 4, range.fileEnd, 4);
    PutLe(bytes + 8, range.rvaStart, 4);
    patch.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
  }
}

// The label table of a labelled patch: absent from one of version 1.
struct LabelTable {
  bool present = false;
  std::string table;
  std::uint64_t count = 0;
};

void PutHeader(const std::string& base, const std::string& target, const std::vector<PatchRange>& baseRanges,
               const std::vector<PatchRange>& targetRanges, std::uint64_t nonZeroDiffs, const LabelTable& labels,
               const std::string (&frames)[kLabelledPatchStreams], std::string& patch) {
  unsigned char header[kLabelledPatchHeaderBytes] = {};
  std::copy(kPatchMagic, kPatchMagic + 4, header);
  header[4] = labels.present ? kLabelledPatchVersion : kPatchVersion;
  header[5] = static_cast<unsigned char>(baseRanges.size());
  header[6] = static_cast<unsigned char>(targetRanges.size());
  PutLe(header + 8, base.size(), 8);
  PutLe(header + 16, target.size(), 8);
  PutLe(header + 24, nonZeroDiffs, 8);
  for (int i = 0; i < kPatchStreams; ++i) PutLe(header + 32 + 8 * i, frames[i].size(), 8);
  PutLe(header + 64, labels.count, 8);
  PutLe(header + 72, frames[kPatchStreams].size(), 8);
  patch.assign(reinterpret_cast<const char*>(header), labels.present ? kLabelledPatchHeaderBytes : kPatchHeaderBytes);
  PutRanges(baseRanges, patch);
  PutRanges(targetRanges, patch);
}

// The patch of base to target as they are given: rewritten already when
// ranges are named.
bool Assemble(const std::string& base, const std::string& target, const std::vector<PatchRange>& baseRanges,
              const std::vector<PatchRange>& targetRanges, const LabelTable& labels, int level, std::string& patch) {
  const SuffixIndex index(base);
  if (!index.Sorted()) return false;
  PatchStreams streams(base, target);
  Differencer(index, base, target, streams).Run();
  const std::string control = streams.Control();
  const std::string* parts[kLabelledPatchStreams] = {&control, &streams.Runs(), &streams.Values(), &streams.Extra(),
                                                     &labels.table};
  std::string frames[kLabelledPatchStreams];
  const int count = labels.present ? kLabelledPatchStreams : kPatchStreams;
  for (int i = 0; i < count; ++i) {
    if (!Compress(*parts[i], level, frames[i])) return false;
  }
  PutHeader(base, target, baseRanges, targetRanges, streams.NonZeroDiffs(), labels, frames, patch);
  for (int i = 0; i < count; ++i) patch += frames[i];
  return true;
}

// The labelled patch; true with patch empty when the images cannot take labels.
bool LabelledPatch(const std::string& base, const std::string& target, const std::vector<PatchRange>& baseRanges,
                   const std::vector<PatchRange>& targetRanges, int level, std::string& patch) {
  patch.clear();
  LabelledImages images;
  if (!LabelImages(base, target, baseRanges, targetRanges, images)) return true;
  const LabelTable table{true, images.table, images.labels};
  return Assemble(images.base, images.target, baseRanges, targetRanges, table, level, patch);
}

unsigned char* Mutable(std::string& bytes) {
  return reinterpret_cast<unsigned char*>(&bytes[0]);
}

}  // namespace

bool MakePatch(const std::string& base, const std::string& target, int level, std::string& patch,
               BranchRewriting rewriting) {
  if (static_cast<long long>(base.size()) > kMaxPatchFileBytes ||
      static_cast<long long>(target.size()) > kMaxPatchFileBytes) {
    return false;
  }
  std::vector<PatchRange> baseRanges, targetRanges;
  if (rewriting == BranchRewriting::kNever || !PeCodeRanges(base, baseRanges) || !PeCodeRanges(target, targetRanges)) {
    return Assemble(base, target, {}, {}, {}, level, patch);
  }
  // Each form the images can take, the smallest kept.
  std::vector<std::string> made;
  if (rewriting == BranchRewriting::kSmaller || rewriting == BranchRewriting::kLabels) {
    made.emplace_back();
    if (!LabelledPatch(base, target, baseRanges, targetRanges, level, made.back())) return false;
    if (made.back().empty()) made.pop_back();
  }
  if (rewriting == BranchRewriting::kSmaller || rewriting == BranchRewriting::kAlways) {
    std::string rewrittenBase = base, rewrittenTarget = target;
    RewriteAllBranches(Mutable(rewrittenBase), rewrittenBase.size(), baseRanges, BranchForm::kAbsolute);
    RewriteAllBranches(Mutable(rewrittenTarget), rewrittenTarget.size(), targetRanges, BranchForm::kAbsolute);
    made.emplace_back();
    if (!Assemble(rewrittenBase, rewrittenTarget, baseRanges, targetRanges, {}, level, made.back())) return false;
  }
  if (rewriting == BranchRewriting::kSmaller || made.empty()) {
    made.emplace_back();
    if (!Assemble(base, target, {}, {}, {}, level, made.back())) return false;
  }
  patch = *std::min_element(made.begin(), made.end(),
                            [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  return true;
}
