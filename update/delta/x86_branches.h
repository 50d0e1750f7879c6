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
#include <vector>

#include "update/delta/patch_format.h"

inline constexpr std::uint64_t kNoScanPosition = UINT64_MAX;

// The longest instruction rewritten: 0F 8x and four operand bytes.
inline constexpr std::size_t kLongestBranch = 6;

enum class BranchForm { kAbsolute, kRelative };

// The first position a scan of ranges (sorted, disjoint) looks at.
std::uint64_t FirstScanPosition(const std::vector<PatchRange>& ranges);

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
