// The publisher's patch maker against the client's applier: every pair comes
// back byte for byte, a damaged patch never makes a file, and code whose
// addresses moved costs far less than zstd's exact matches can manage. A
// fault here publishes a delta that rebuilds another file, or one that is
// no smaller than the road it was meant to beat.

#include "publisher/patch_make.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "publisher/zstd_encode.h"
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
