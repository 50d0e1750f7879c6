#include "update/delta/x86_branches.h"

#include <utility>

namespace {

std::uint32_t Get32(const unsigned char* at) {
  return static_cast<std::uint32_t>(GetLe(at, 4));
}

// value + delta in the 25 bits of a branch within 16 MiB, sign-extended back.
std::uint32_t Shift25(std::uint32_t value, std::uint32_t delta) {
  std::uint32_t shifted = (value + delta) & 0x1FFFFFFu;
  if (shifted & 0x1000000u) shifted |= 0xFE000000u;
  return shifted;
}

// The instruction's length when a branch whose operand may be rewritten
// starts at at (room bytes left in its range), else 0.
std::size_t BranchLength(const unsigned char* at, std::uint64_t room) {
  if ((at[0] == 0xE8 || at[0] == 0xE9) && room >= 5) return 5;
  if (at[0] == 0x0F && room >= 6 && (at[1] & 0xF0) == 0x80) return 6;
  return 0;
}

// Rewrites the branch of the given length at at, whose end lies at address
// end, when its operand is within reach.
void RewriteOne(unsigned char* at, std::size_t length, std::uint32_t end, BranchForm form) {
  unsigned char* operand = at + length - 4;
  const std::uint32_t value = Get32(operand);
  const std::uint32_t top = value >> 24;
  if (top != 0 && top != 0xFF) return;
  const std::uint32_t rewritten = form == BranchForm::kAbsolute ? Shift25(value, end) : Shift25(value, 0u - end);
  PutLe(operand, rewritten, 4);
}

std::size_t RangeOf(const std::vector<PatchRange>& ranges, std::uint64_t position) {
  std::size_t i = 0;
  while (i < ranges.size() && position >= ranges[i].fileEnd) ++i;
  return i;
}

}  // namespace

std::uint64_t FirstScanPosition(const std::vector<PatchRange>& ranges) {
  return ranges.empty() ? kNoScanPosition : ranges.front().fileStart;
}

std::uint64_t RewriteBranches(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                              const std::vector<PatchRange>& ranges, std::uint64_t position, std::uint64_t stopAt,
                              BranchForm form) {
  const std::uint64_t bytesEnd = bytesStart + size;
  std::size_t range = RangeOf(ranges, position);
  while (position < stopAt && range < ranges.size()) {
    const PatchRange& r = ranges[range];
    if (position < r.fileStart) position = r.fileStart;
    if (position >= stopAt) break;
    const std::uint64_t room = r.fileEnd - position;
    const std::uint64_t needed = room < kLongestBranch ? room : kLongestBranch;
    if (position < bytesStart || position + needed > bytesEnd) break;
    unsigned char* at = bytes + (position - bytesStart);
    const std::size_t length = BranchLength(at, room);
    const std::uint32_t end = r.rvaStart + static_cast<std::uint32_t>(position + length - r.fileStart);
    // A candidate is passed over whole, rewritten or not: were the scan to
    // look inside its operand, a branch found there could change the top
    // byte this one was judged by, and the two directions would disagree.
    if (length != 0) RewriteOne(at, length, end, form);
    position += length != 0 ? length : 1;
    if (position >= r.fileEnd) ++range;
  }
  return range < ranges.size() ? position : kNoScanPosition;
}

void RewriteAllBranches(unsigned char* bytes, std::size_t size, const std::vector<PatchRange>& ranges,
                        BranchForm form) {
  RewriteBranches(bytes, 0, size, ranges, FirstScanPosition(ranges), kNoScanPosition, form);
}

BranchStream::BranchStream(std::vector<PatchRange> ranges, BranchForm form)
    : ranges_(std::move(ranges)), form_(form), position_(FirstScanPosition(ranges_)) {}

void BranchStream::Feed(const unsigned char* data, std::size_t size, std::vector<unsigned char>& out) {
  pending_.insert(pending_.end(), data, data + size);
  position_ =
      RewriteBranches(pending_.data(), pendingStart_, pending_.size(), ranges_, position_, kNoScanPosition, form_);
  // Bytes before the next position are final: a branch only rewrites the
  // bytes after its opcode.
  const std::uint64_t pendingEnd = pendingStart_ + pending_.size();
  const std::size_t final = static_cast<std::size_t>((position_ < pendingEnd ? position_ : pendingEnd) - pendingStart_);
  out.insert(out.end(), pending_.begin(), pending_.begin() + final);
  pending_.erase(pending_.begin(), pending_.begin() + final);
  pendingStart_ += final;
}

void BranchStream::Finish(std::vector<unsigned char>& out) {
  out.insert(out.end(), pending_.begin(), pending_.end());
  pendingStart_ += pending_.size();
  pending_.clear();
}
