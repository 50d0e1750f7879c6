#include "update/delta/x86_branches.h"

#include <algorithm>
#include <array>
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

// The legacy prefixes an instruction form may follow.
enum Prefixes : std::uint8_t { kBare = 1, kOperandSize = 2, kRepeat = 4 | 8 };

// An x86-64 instruction form whose memory operand may be RIP-relative (ModRM
// mod 00, rm 101: a disp32 from the instruction's end), with the immediate
// bytes after the displacement. regs: the ModRM reg fields it takes, one bit
// each; none, no form. The forms compilers emit most, not a decoder.
struct RipForm {
  std::uint8_t regs = 0;
  std::uint8_t prefixes = 0;
  std::uint8_t immediate = 0;
};

struct RipForms {
  std::array<RipForm, 256> oneByte;
  std::array<RipForm, 256> twoByte;  // after 0F
  // Whether a byte may start a candidate: without and with RIP forms.
  std::array<bool, 256> startsBranch;
  std::array<bool, 256> startsAny;
};

constexpr RipForms MakeRipForms() {
  RipForms forms{};
  const RipForm anyReg{0xFF, kBare | kOperandSize, 0};
  for (int op : {0x8B, 0x89, 0x8D, 0x8A, 0x88, 0x63, 0x03, 0x01, 0x2B, 0x29, 0x3B,
                 0x39, 0x33, 0x31, 0x0B, 0x09, 0x23, 0x21, 0x85, 0x84, 0x38, 0x3A}) {
    forms.oneByte[op] = anyReg;
  }
  forms.oneByte[0x83] = {0xFF, kBare | kOperandSize, 1};
  forms.oneByte[0x80] = {0xFF, kBare | kOperandSize, 1};
  forms.oneByte[0xC6] = {0x01, kBare | kOperandSize, 1};
  forms.oneByte[0x81] = {0xFF, kBare | kOperandSize, 4};
  forms.oneByte[0xC7] = {0x01, kBare | kOperandSize, 4};
  forms.oneByte[0xFF] = {0x01 | 0x02 | 0x04 | 0x10 | 0x40, kBare | kOperandSize, 0};
  for (int op : {0xB6, 0xB7, 0xBE, 0xBF, 0xAF}) forms.twoByte[op] = anyReg;
  for (int op = 0x40; op < 0x50; ++op) forms.twoByte[op] = anyReg;
  for (int op : {0x10, 0x11, 0x28, 0x29, 0x2A, 0x2E, 0x2F, 0x54, 0x57, 0x58,
                 0x59, 0x5A, 0x5C, 0x5E, 0x6E, 0x6F, 0x7E, 0x7F, 0xD6, 0xEF}) {
    forms.twoByte[op] = {0xFF, kBare | kOperandSize | kRepeat, 0};
  }
  for (int byte : {0xE8, 0xE9, 0x0F}) forms.startsBranch[byte] = forms.startsAny[byte] = true;
  for (int byte = 0; byte < 256; ++byte) {
    const bool prefix = byte == 0x66 || byte == 0xF2 || byte == 0xF3 || (byte & 0xF0) == 0x40;
    if (prefix || forms.oneByte[byte].regs != 0) forms.startsAny[byte] = true;
  }
  return forms;
}

constexpr RipForms kForms = MakeRipForms();

struct Candidate {
  std::size_t length = 0;
  std::size_t immediate = 0;
};

// The RIP-relative instruction at at (room bytes left in its range). Before
// its ModRM it reads only a prefix, a REX byte and one or two opcode bytes,
// none of which a rewriting changes.
Candidate RipCandidate(const unsigned char* at, std::uint64_t room) {
  std::size_t q = 0;
  std::uint8_t prefix = kBare;
  if (at[0] == 0x66) prefix = kOperandSize;
  if (at[0] == 0xF2 || at[0] == 0xF3) prefix = kRepeat;
  if (prefix != kBare) ++q;
  const bool wide = q < room && (at[q] & 0xF8) == 0x48;
  if (q < room && (at[q] & 0xF0) == 0x40) ++q;
  if (q >= room || (at[q] == 0x0F && q + 1 >= room)) return {};
  const RipForm& form = at[q] == 0x0F ? kForms.twoByte[at[q + 1]] : kForms.oneByte[at[q]];
  q += at[q] == 0x0F ? 2 : 1;
  if ((form.prefixes & prefix) == 0 || q >= room || (at[q] & 0xC7) != 0x05) return {};
  if ((form.regs >> ((at[q] >> 3) & 7) & 1) == 0) return {};
  const std::size_t immediate = form.immediate == 4 && prefix == kOperandSize && !wide ? 2 : form.immediate;
  const std::size_t length = q + 5 + immediate;
  if (length > room) return {};
  return {length, immediate};
}

// The candidate that starts at at (room bytes left in its range): a branch
// whose operand may be rewritten, or with rip, a RIP-relative operand.
Candidate CandidateAt(const unsigned char* at, std::uint64_t room, bool rip) {
  if ((at[0] == 0xE8 || at[0] == 0xE9) && room >= 5) return {5, 0};
  if (at[0] == 0x0F && room >= 6 && (at[1] & 0xF0) == 0x80) return {6, 0};
  return rip ? RipCandidate(at, room) : Candidate();
}

// Rewrites the operand of a branch that ends at address end, when it is within reach.
void RewriteOne(unsigned char* operand, std::uint32_t end, BranchForm form) {
  const std::uint32_t value = Get32(operand);
  if (!BranchInReach(value)) return;
  const std::uint32_t rewritten = form == BranchForm::kAbsolute ? Shift25(value, end) : Shift25(value, 0u - end);
  PutLe(operand, rewritten, 4);
}

std::uint64_t SafeEnd(std::uint64_t end) {
  return end < kLongestCandidate ? 0 : end - kLongestCandidate;
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

std::uint64_t ScanBranches(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                           const std::vector<PatchRange>& ranges, std::uint64_t position, std::uint64_t stopAt,
                           const BranchVisitor& visit, bool ripRelative) {
  const std::uint64_t bytesEnd = bytesStart + size;
  const std::array<bool, 256>& starts = ripRelative ? kForms.startsAny : kForms.startsBranch;
  for (std::size_t range = RangeOf(ranges, position); range < ranges.size(); ++range) {
    const PatchRange& r = ranges[range];
    if (position < r.fileStart) position = r.fileStart;
    const std::uint64_t stop = stopAt < r.fileEnd ? stopAt : r.fileEnd;
    // Up to here every byte a candidate may need is at hand, so a byte that
    // starts none is passed over at once.
    const std::uint64_t roomy = std::min({stop, SafeEnd(bytesEnd), SafeEnd(r.fileEnd)});
    while (position < stop) {
      if (position >= bytesStart) {
        while (position < roomy && !starts[bytes[position - bytesStart]]) ++position;
        if (position >= stop) break;
      }
      const std::uint64_t room = r.fileEnd - position;
      const std::uint64_t needed = room < kLongestCandidate ? room : kLongestCandidate;
      if (position < bytesStart || position + needed > bytesEnd) return position;
      unsigned char* at = bytes + (position - bytesStart);
      const Candidate candidate = CandidateAt(at, room, ripRelative);
      // A candidate is passed over whole, rewritten or not: were the scan to
      // look inside its operand, a candidate found there could change the
      // top byte this one was judged by, and the two directions would disagree.
      if (candidate.length != 0) {
        const std::size_t operand = candidate.length - candidate.immediate - 4;
        const std::uint64_t endOffset = position + candidate.length - r.fileStart;
        visit(at + operand, r.rvaStart + static_cast<std::uint32_t>(endOffset), position + operand);
      }
      position += candidate.length != 0 ? candidate.length : 1;
    }
    if (position < r.fileEnd) return position;
  }
  return kNoScanPosition;
}

std::uint64_t RewriteBranches(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                              const std::vector<PatchRange>& ranges, std::uint64_t position, std::uint64_t stopAt,
                              BranchForm form) {
  return ScanBranches(
      bytes, bytesStart, size, ranges, position, stopAt,
      [form](unsigned char* operand, std::uint32_t end, std::uint64_t) { RewriteOne(operand, end, form); }, false);
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
