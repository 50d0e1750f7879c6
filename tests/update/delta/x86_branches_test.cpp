// The rewriting of x86 branch operands that patches of program images rely
// on. A fault here rebuilds a program with one call pointing elsewhere: the
// file's proof then fails and the patch road is wasted on every PC, or, in
// the streamed rewrite, a branch split across two writes is missed.

#include "update/delta/x86_branches.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Random(unsigned seed, std::size_t size) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  // Many opcodes and near operands, so that most rules are exercised.
  const unsigned char common[] = {0xE8, 0xE9, 0x0F, 0x85, 0x00, 0xFF};
  for (auto& b : bytes) b = generator() % 3 == 0 ? common[generator() % 6] : static_cast<unsigned char>(generator());
  return bytes;
}

Bytes Rewritten(Bytes bytes, const std::vector<PatchRange>& ranges, BranchForm form) {
  RewriteAllBranches(bytes.data(), bytes.size(), ranges, form);
  return bytes;
}

std::uint32_t At32(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(GetLe(&bytes[at], 4));
}

const std::vector<std::vector<PatchRange>> kRangeSets = {
    {},
    {{0, 4096, 0x1000}},
    {{100, 1000, 0x401000}, {1000, 1003, 0x500000}, {2000, 4096, 0xFFFFFF00}},
    {{4093, 4096, 0}},
};

TEST(X86Branches, RelativeAfterAbsoluteGivesBackEveryFile) {
  for (unsigned seed = 0; seed < 20; ++seed) {
    const Bytes original = Random(seed, 4096);
    for (const auto& ranges : kRangeSets) {
      const Bytes absolute = Rewritten(original, ranges, BranchForm::kAbsolute);
      EXPECT_TRUE(Rewritten(absolute, ranges, BranchForm::kRelative) == original) << seed;
      if (!ranges.empty() && ranges[0].fileEnd - ranges[0].fileStart > 100) EXPECT_FALSE(absolute == original);
    }
  }
}

TEST(X86Branches, CallsToOneTargetReadTheSameFromEveryCaller) {
  // Two calls and a jcc to address 0x1100 from different places, a far call
  // left alone, and a call cut by the range's end left alone.
  Bytes code(64, 0x90);
  const unsigned char call1[] = {0xE8, 0xFB, 0x00, 0x00, 0x00};      // at 0: 0x1005 + 0xFB
  const unsigned char call2[] = {0xE9, 0xE1, 0x00, 0x00, 0x00};      // at 26: 0x101F + 0xE1
  const unsigned char jcc[] = {0x0F, 0x85, 0xCA, 0x00, 0x00, 0x00};  // at 48: 0x1036 + 0xCA
  const unsigned char far[] = {0xE8, 0x00, 0x00, 0x00, 0x12};        // at 10
  std::copy(std::begin(call1), std::end(call1), code.begin());
  std::copy(std::begin(call2), std::end(call2), code.begin() + 26);
  std::copy(std::begin(jcc), std::end(jcc), code.begin() + 48);
  std::copy(std::begin(far), std::end(far), code.begin() + 10);
  code[60] = 0xE8;
  const Bytes absolute = Rewritten(code, {{0, 62, 0x1000}}, BranchForm::kAbsolute);
  EXPECT_EQ(At32(absolute, 1), 0x1100u);
  EXPECT_EQ(At32(absolute, 27), 0x1100u);
  EXPECT_EQ(At32(absolute, 50), 0x1100u);
  EXPECT_EQ(At32(absolute, 11), 0x12000000u) << "a far operand is no branch of ours";
  EXPECT_TRUE(std::equal(code.begin() + 60, code.end(), absolute.begin() + 60)) << "cut by the range's end";
}

TEST(X86Branches, AStreamInPiecesRewritesAsTheWholeFileDoes) {
  const Bytes original = Random(99, 3000);
  const std::vector<PatchRange> ranges = {{7, 1500, 0x2000}, {1600, 2999, 0x9000}};
  const Bytes whole = Rewritten(original, ranges, BranchForm::kRelative);
  for (std::size_t piece = 1; piece <= 13; ++piece) {
    BranchStream stream(ranges, BranchForm::kRelative);
    Bytes out;
    for (std::size_t at = 0; at < original.size(); at += piece) {
      stream.Feed(original.data() + at, std::min(piece, original.size() - at), out);
    }
    stream.Finish(out);
    EXPECT_TRUE(out == whole) << "pieces of " << piece;
  }
}

TEST(X86Branches, AScanResumedFromItsPositionMatchesOneUnbrokenScan) {
  // The applier rewrites the base block by block from noted positions.
  const Bytes original = Random(5, 2000);
  const std::vector<PatchRange> ranges = {{0, 2000, 0x1000}};
  const Bytes whole = Rewritten(original, ranges, BranchForm::kAbsolute);
  Bytes pieces = original;
  std::uint64_t position = FirstScanPosition(ranges);
  for (std::uint64_t stop = 97; position != kNoScanPosition; stop += 97) {
    position = RewriteBranches(pieces.data(), 0, pieces.size(), ranges, position, stop, BranchForm::kAbsolute);
    ASSERT_TRUE(position >= stop || position == kNoScanPosition);
  }
  EXPECT_TRUE(pieces == whole);
}

}  // namespace
