// The publisher's patch maker against the client's applier: every pair comes
// back byte for byte, a damaged patch never makes a file, and code whose
// addresses moved costs far less than zstd's exact matches can manage. A
// fault here publishes a delta that rebuilds another file, or one that is
// no smaller than the road it was meant to beat.

#include "publisher/patch_make.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "publisher/label_alignment.h"
#include "publisher/pe_code_ranges.h"
#include "publisher/zstd_encode.h"
#include "update/delta/reference_labels.h"
#include "tests/support/test_files.h"
#include "update/delta/patch_apply.h"

namespace {

using test_files::CompressibleSample;
using test_files::NarrowPath;

std::string Random(unsigned seed, std::size_t size) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

std::string Scattered(std::string bytes, unsigned seed, int edits) {
  std::mt19937 generator(seed);
  for (int i = 0; i < edits; ++i) {
    const std::size_t at = generator() % bytes.size();
    switch (generator() % 3) {
      case 0: bytes[at] = static_cast<char>(generator()); break;
      case 1: bytes.insert(at, Random(generator(), 1 + generator() % 40)); break;
      default: bytes.erase(at, 1 + generator() % 40); break;
    }
  }
  return bytes;
}

// Code-like bytes: a table of 32-bit addresses among instructions. A relink
// that inserts a few bytes early moves every address after it by that much.
std::string Program(std::uint32_t shift) {
  std::string bytes;
  std::mt19937 generator(7);
  const std::string instructions = Random(8, 20000 * 16);
  for (std::uint32_t i = 0; i < 20000; ++i) {
    const std::uint32_t address = 0x401000 + (generator() % 0x40000) + (i > 500 ? shift : 0);
    bytes += static_cast<char>(0xE8);
    for (int b = 0; b < 4; ++b) bytes += static_cast<char>(address >> (8 * b));
    bytes += instructions.substr(i * 16, 16);
    if (i == 500) bytes += std::string(shift, '\x90');
  }
  return bytes;
}

class PatchMakeTest : public ::testing::Test {
 protected:
  DecodeResult Apply(const std::string& base, const std::string& patch, long long maxBytes = 64 << 20) {
    test_files::WriteFile(dir_.path() / "base", base);
    test_files::WriteFile(dir_.path() / "patch", patch);
    return ApplyPatchFile(NarrowPath(dir_.path() / "base"), NarrowPath(dir_.path() / "patch"), Target(), maxBytes);
  }
  std::string Target() const { return NarrowPath(dir_.path() / "target"); }
  std::string Made() const { return test_files::ReadFile(dir_.path() / "target"); }
  bool TargetExists() const { return std::filesystem::exists(dir_.path() / "target"); }

  test_files::TempDirectory dir_{"zq_patch_make_test_"};
};

TEST_F(PatchMakeTest, PairsRoundTripByteForByte) {
  const std::string text = CompressibleSample(3, 200000);
  std::string shifted = text;
  shifted.insert(0, "a few bytes in front");
  std::string moved = text.substr(100000) + text.substr(0, 100000);
  const struct Pair {
    const char* name;
    std::string base, target;
  } pairs[] = {
      {"identical", text, text},
      {"empty base", "", text},
      {"empty target", text, ""},
      {"both empty", "", ""},
      {"one byte each", "a", "b"},
      {"appended", text, text + CompressibleSample(4, 5000)},
      {"shifted", text, shifted},
      {"halves swapped", text, moved},
      {"scattered small edits", text, Scattered(text, 11, 300)},
      {"unrelated random", Random(1, 70000), Random(2, 90000)},
      {"repeated byte", std::string(100000, 'z'), std::string(100007, 'z')},
      {"relinked code", Program(0), Program(3)},
  };
  for (const Pair& pair : pairs) {
    std::string patch;
    ASSERT_TRUE(MakePatch(pair.base, pair.target, 3, patch)) << pair.name;
    ASSERT_EQ(Apply(pair.base, patch), DecodeResult::kOk) << pair.name;
    EXPECT_TRUE(Made() == pair.target) << pair.name;
  }
}

TEST_F(PatchMakeTest, ApproximateMatchesBeatExactOnesOnMovedAddresses) {
  const std::string base = Program(0);
  const std::string target = Program(3);
  std::string patch, exact;
  int windowLog = 0;
  ASSERT_TRUE(MakePatch(base, target, 19, patch));
  ASSERT_TRUE(MakeDelta(base, target, 19, exact, windowLog));
  EXPECT_LT(patch.size() * 2, exact.size()) << patch.size() << " against " << exact.size();
}

TEST_F(PatchMakeTest, DamagedPatchesNeverMakeAFile) {
  const std::string base = CompressibleSample(5, 3000);
  const std::string target = Scattered(base, 6, 10);
  std::string patch;
  ASSERT_TRUE(MakePatch(base, target, 3, patch));
  for (std::size_t length = 0; length < patch.size(); ++length) {
    EXPECT_NE(Apply(base, patch.substr(0, length)), DecodeResult::kOk) << "cut to " << length;
    EXPECT_FALSE(TargetExists()) << "cut to " << length;
  }
  // Any flipped bit either is refused or, where a stream's checksum does not
  // cover it, still makes exactly the target.
  for (std::size_t at = 0; at < patch.size(); ++at) {
    std::string damaged = patch;
    damaged[at] ^= 0x10;
    if (Apply(base, damaged) == DecodeResult::kOk) EXPECT_TRUE(Made() == target) << "flip at " << at;
  }
  std::string otherBase = base;
  otherBase[100] ^= 1;
  ASSERT_EQ(Apply(otherBase, patch), DecodeResult::kOk) << "the base is proved by its digests, not here";
  EXPECT_FALSE(Made() == target);
  EXPECT_EQ(Apply(base, patch, static_cast<long long>(target.size()) - 1), DecodeResult::kTooLong);
}

}  // namespace

namespace {

// A C program of many small functions calling each other; a later version
// grows one early function, so everything after it moves, as in a relink.
std::string ProgramSource(int grownBy) {
  std::string source = "#include <stdio.h>\n";
  source += "__attribute__((noinline)) int f0(int x) { return x * 7 + 1; }\n";
  for (int i = 1; i < 400; ++i) {
    source += "__attribute__((noinline)) int f" + std::to_string(i) + "(int x) { int y = f" + std::to_string(i - 1) +
              "(x + " + std::to_string(i) + ");";
    if (i == 3) {
      for (int g = 0; g < grownBy; ++g) source += " y = y * 31 + f0(y ^ " + std::to_string(g) + ");";
    }
    source += " if (y & 1) y += f" + std::to_string(i / 2) + "(y); return y ^ " + std::to_string(i * 13) + "; }\n";
  }
  source += "int main(int argc, char** argv) { printf(\"%d\\n\", f399(argc)); return 0; }\n";
  return source;
}

class RelinkedProgramTest : public PatchMakeTest, public ::testing::WithParamInterface<const char*> {
 protected:
  // The program compiled by the MinGW compiler named; empty when it is missing.
  std::string Compile(const std::string& source, const char* name) {
    const auto sourcePath = dir_.path() / (std::string(name) + ".c");
    const auto imagePath = dir_.path() / (std::string(name) + ".exe");
    test_files::WriteFile(sourcePath, source);
    const std::string command = std::string(GetParam()) + " -O1 -fno-inline -o " + NarrowPath(imagePath) + " " +
                                NarrowPath(sourcePath) + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) return "";
    return test_files::ReadFile(imagePath);
  }
};

TEST_P(RelinkedProgramTest, EachFormRoundTripsAndTheSmallestIsKept) {
  const std::string base = Compile(ProgramSource(0), "old");
  const std::string target = Compile(ProgramSource(2), "new");
  if (base.empty() || target.empty()) GTEST_SKIP() << GetParam() << " is not installed";
  std::vector<PatchRange> ranges;
  ASSERT_TRUE(PeCodeRanges(base, ranges)) << "a MinGW program is a PE image with code";

  // Programs of a few 64 KiB blocks: the applier rewrites its base block by
  // block, and references cross the blocks' edges.
  ASSERT_GT(base.size(), 4u << 16);
  const struct {
    BranchRewriting rewriting;
    std::uint8_t version;
  } forms[] = {{BranchRewriting::kNever, kPatchVersion},
               {BranchRewriting::kAlways, kPatchVersion},
               {BranchRewriting::kLabels, kLabelledPatchVersion}};
  std::string made[3], chosen;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(MakePatch(base, target, 19, made[i], forms[i].rewriting));
    EXPECT_EQ(static_cast<std::uint8_t>(made[i][4]), forms[i].version) << i;
    ASSERT_EQ(Apply(base, made[i]), DecodeResult::kOk) << i;
    EXPECT_TRUE(Made() == target) << i;
  }
  EXPECT_NE(made[1], made[0]) << "the images' code was rewritten";
  EXPECT_FALSE(std::filesystem::exists(Target() + ".labelled")) << "the labelled output is not left behind";
  ASSERT_TRUE(MakePatch(base, target, 19, chosen));
  EXPECT_EQ(chosen.size(), std::min({made[0].size(), made[1].size(), made[2].size()}));

  // A cut image is no PE image to the rewriting: the plain patch still works.
  const std::string cut = target.substr(0, 1500);
  EXPECT_FALSE(PeCodeRanges(cut, ranges));
  for (BranchRewriting rewriting : {BranchRewriting::kAlways, BranchRewriting::kLabels}) {
    ASSERT_TRUE(MakePatch(base, cut, 19, made[0], rewriting));
    EXPECT_EQ(static_cast<std::uint8_t>(made[0][4]), kPatchVersion);
    ASSERT_EQ(Apply(base, made[0]), DecodeResult::kOk);
    EXPECT_TRUE(Made() == cut);
  }
}

TEST_P(RelinkedProgramTest, DamagedLabelledPatchesMakeNoFile) {
  const std::string base = Compile(ProgramSource(0), "old");
  const std::string target = Compile(ProgramSource(2), "new");
  if (base.empty() || target.empty()) GTEST_SKIP() << GetParam() << " is not installed";
  std::string patch;
  ASSERT_TRUE(MakePatch(base, target, 19, patch, BranchRewriting::kLabels));
  ASSERT_EQ(static_cast<std::uint8_t>(patch[4]), kLabelledPatchVersion);
  const std::uint64_t labels = GetLe(reinterpret_cast<const unsigned char*>(&patch[64]), 8);
  auto withLabels = [&](std::uint64_t count) {
    std::string changed = patch;
    PutLe(reinterpret_cast<unsigned char*>(&changed[64]), count, 8);
    return changed;
  };
  std::string flipped = patch;
  flipped[flipped.size() - 6] ^= 0x20;  // within the label table's frame, the last
  std::string notAnImage = Random(9, base.size());
  const struct {
    const char* fault;
    std::string patch;
    const std::string& base;
  } cases[] = {
      {"a label table that does not match its frame's checksum", flipped, base},
      {"one label more than the table holds", withLabels(labels + 1), base},
      {"one label fewer, so the table has bytes left", withLabels(labels - 1), base},
      {"more labels than a client holds", withLabels(kMaxLabels), base},
      {"a base of the right size that is no program image", patch, notAnImage},
      {"a patch cut short", patch.substr(0, patch.size() - 1), base},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Apply(c.base, c.patch), DecodeResult::kCorrupt) << c.fault;
    EXPECT_FALSE(TargetExists()) << c.fault;
    EXPECT_FALSE(std::filesystem::exists(Target() + ".labelled")) << c.fault;
  }
}

INSTANTIATE_TEST_SUITE_P(BothArchitectures, RelinkedProgramTest,
                         ::testing::Values("x86_64-w64-mingw32-gcc", "i686-w64-mingw32-gcc"));

TEST(PeCodeRanges, OnlyWellFormedImagesGiveRanges) {
  // The smallest image of ours: MZ, PE header at 0x40, one code section.
  std::string image(0x400, '\0');
  auto put = [&](std::size_t at, std::uint64_t value, std::size_t bytes) {
    PutLe(reinterpret_cast<unsigned char*>(&image[at]), value, bytes);
  };
  put(0, 0x5A4D, 2);
  put(0x3C, 0x40, 4);
  put(0x40, 0x4550, 4);
  put(0x44, 0x8664, 2);
  put(0x46, 1, 2);
  put(0x54, 0, 2);
  const std::size_t section = 0x40 + 24;
  put(section + 12, 0x1000, 4);
  put(section + 16, 0x200, 4);
  put(section + 20, 0x200, 4);
  put(section + 36, 0x60000020, 4);
  std::vector<PatchRange> ranges;
  ASSERT_TRUE(PeCodeRanges(image, ranges));
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(ranges[0].fileStart, 0x200u);
  EXPECT_EQ(ranges[0].fileEnd, 0x400u);
  EXPECT_EQ(ranges[0].rvaStart, 0x1000u);

  const struct {
    const char* fault;
    std::size_t at;
    std::uint64_t value;
    std::size_t bytes;
  } broken[] = {
      {"takes any file for an image", 0, 0x5A4E, 2},
      {"follows a PE offset out of the file", 0x3C, 0xFFFFFFF0, 4},
      {"rewrites another processor's code", 0x44, 0x01C4, 2},
      {"reads a section table past the end", 0x46, 40, 2},
      {"trusts raw data past the end", section + 16, 0x201, 4},
      {"finds code in a data-only image", section + 36, 0xC0000040, 4},
  };
  for (const auto& b : broken) {
    const std::string good = image;
    put(b.at, b.value, b.bytes);
    EXPECT_FALSE(PeCodeRanges(image, ranges)) << b.fault;
    image = good;
  }
}

}  // namespace

namespace {

// The pairing that keeps labels where a relink only moved things: a fault
// here costs no correctness, only the size of every labelled patch.
TEST(AlignLabels, MovedTargetsKeepTheirLabelsAndNewOnesGetFreshOnes) {
  std::vector<std::uint32_t> base;
  std::uint32_t address = 0x1000;
  std::mt19937 generator(3);
  for (std::uint32_t i = 0; i < 40; ++i) base.push_back(address += 16 + generator() % 200);
  std::vector<std::uint32_t> identity(base.size());
  for (std::uint32_t i = 0; i < identity.size(); ++i) identity[i] = i;
  EXPECT_EQ(AlignLabels(base, base), identity);

  // A function grown before the 11th target moves every later one by 6, and
  // a new function's target lands between the 30th and 31st.
  std::vector<std::uint32_t> moved;
  for (std::size_t i = 0; i < base.size(); ++i) moved.push_back(base[i] + (i >= 10 ? 6 : 0));
  moved.insert(moved.begin() + 31, moved[30] + 3);
  std::vector<std::uint32_t> expected = identity;
  expected.insert(expected.begin() + 31, static_cast<std::uint32_t>(base.size()));
  EXPECT_EQ(AlignLabels(base, moved), expected);

  // Nothing to pair with: fresh labels in address order.
  EXPECT_EQ(AlignLabels({}, {5, 9, 12}), (std::vector<std::uint32_t>{0, 1, 2}));
}

}  // namespace
