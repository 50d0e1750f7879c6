#pragma once

// Rewriting the operands of x86 relative branches (E8 call, E9 jmp, 0F 8x
// jcc) in a program image's code ranges between relative and absolute form.
// A relink moves code by a few bytes here and there; a call's relative
// operand then changes wherever caller and callee moved apart, while the
// absolute target of an unmoved function reads the same from every caller.
// The publisher rewrites both files to absolute before matching; the client
// rewrites the base as it reads it and the output back as it writes it.
//
// An operand is rewritten only when its top byte is 00 or FF (a branch
// within 16 MiB), and the rewritten value keeps that property, computed in
// 25 bits; the scan passes over every candidate whole. So both directions
// judge the same bytes at the same positions, and any range of any bytes is
// undone exactly. Values only; any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "update/delta/patch_format.h"

inline constexpr std::uint64_t kNoScanPosition = UINT64_MAX;

// The most bytes a scan reads to judge a candidate: no x86 instruction is longer.
inline constexpr std::size_t kLongestCandidate = 16;

enum class BranchForm { kAbsolute, kRelative };

// The first position a scan of ranges (sorted, disjoint) looks at.
std::uint64_t FirstScanPosition(const std::vector<PatchRange>& ranges);

// What a scan does with each candidate it finds: its 4-byte operand, the
// address where its instruction ends (from which the operand counts), and
// the operand's file offset.
using BranchVisitor = std::function<void(unsigned char* operand, std::uint32_t end, std::uint64_t offset)>;

// The scan under the rewriting below, with visit called for each candidate
// instead; the same positions, the same return value. With ripRelative (for
// x86-64 code only) the scan also takes the common instruction forms whose
// memory operand is a disp32 from the instruction's end, judged likewise
// by bytes before the operand that no rewriting changes and by the
// operand's top byte, and passed over whole.
std::uint64_t ScanBranches(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                           const std::vector<PatchRange>& ranges, std::uint64_t position, std::uint64_t stopAt,
                           const BranchVisitor& visit, bool ripRelative);

// Whether a candidate's operand names a branch within 16 MiB (its top byte
// 00 or FF): the only operands either rewriting touches.
inline bool BranchInReach(std::uint32_t operand) {
  return (operand >> 24) == 0 || (operand >> 24) == 0xFF;
}

// Scans from position, a position the scan of the whole file looks at, up to
// stopAt, rewriting each branch found into form. bytes holds the file's
// offsets [bytesStart, bytesStart + size). Returns the next position to look
// at: at least stopAt, kNoScanPosition when the ranges are done, or earlier
// where a decision needs bytes past the end of bytes.
std::uint64_t RewriteBranches(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                              const std::vector<PatchRange>& ranges, std::uint64_t position, std::uint64_t stopAt,
                              BranchForm form);

// A whole file in memory, rewritten into form.
void RewriteAllBranches(unsigned char* bytes, std::size_t size, const std::vector<PatchRange>& ranges, BranchForm form);

// The same rewriting for a file that arrives in pieces: holds back the few
// bytes whose branch is not decided yet.
class BranchStream {
 public:
  BranchStream(std::vector<PatchRange> ranges, BranchForm form);

  // Adds size bytes; out receives the bytes that are final (appended).
  void Feed(const unsigned char* data, std::size_t size, std::vector<unsigned char>& out);
  // The bytes still held, once the file is whole.
  void Finish(std::vector<unsigned char>& out);

 private:
  std::vector<PatchRange> ranges_;
  BranchForm form_;
  std::vector<unsigned char> pending_;
  std::uint64_t pendingStart_ = 0;
  std::uint64_t position_;
};
