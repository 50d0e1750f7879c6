// The publisher's zstd encoder against the client's decoder. A fault here
// installs a file other than the one published, writes past the size the
// manifest names, accepts a frame no client may decode, or leaves a half
// decoded file where the staged one is looked for.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/test_files.h"
#include "publisher/release_tree.h"
#include "publisher/zstd_encode.h"
#include "update/delta/zstd_decode.h"

namespace {

using test_files::CompressibleSample;

class Scratch {
 public:
  // Narrow text of a file below the directory: its names are ASCII.
  std::string Path(const char* name) const { return (scratch_.path() / name).string(); }
  void Write(const char* name, const std::string& bytes) const {
    ASSERT_TRUE(WriteWholeFile(scratch_.path() / name, bytes)) << name;
  }
  std::string Read(const char* name) const {
    std::string bytes;
    ReadWholeFile(scratch_.path() / name, bytes);
    return bytes;
  }
  bool Exists(const char* name) const { return std::filesystem::exists(scratch_.path() / name); }

 private:
  test_files::TempDirectory scratch_{"zq_zstd_codec_test_"};
};

TEST(ZstdCodec, FormsRoundTripOrFailWithoutLeavingATarget) {
  // Larger than zstd's streaming output buffer (128 KiB): a frame that fits
  // it is decoded in one step, without the window check.
  const std::string base = CompressibleSample(1, 300000);
  std::string target = base;
  target.insert(140000, "a few new bytes in the middle");
  // A base much smaller than its target: the frame's own window, not the
  // base, is then what passes a lower cap.
  const std::string smallBase = base.substr(0, 1000);
  std::string copy, delta, smallDelta;
  int copyWindow = 0, deltaWindow = 0, smallWindow = 0;
  ASSERT_TRUE(CompressForServing(target, 3, copy, copyWindow));
  ASSERT_TRUE(MakeDelta(base, target, 3, delta, deltaWindow));
  ASSERT_TRUE(MakeDelta(smallBase, target, 3, smallDelta, smallWindow));
  EXPECT_LT(delta.size(), copy.size() / 10) << "the delta uses its base";
  const long long size = static_cast<long long>(target.size());
  std::string otherBase = base;
  otherBase[50000] ^= 0x20;

  struct Case {
    const char* why;
    std::string frame;
    const std::string* base;  // null: a compressed copy
    long long maxBytes;
    int maxWindowLog;
    DecodeResult result;
  };
  const Case cases[] = {
      {"copy round-trip", copy, nullptr, size, kMaxWindowLog, DecodeResult::kOk},
      {"delta round-trip", delta, &base, size, deltaWindow, DecodeResult::kOk},
      {"a corrupt byte",
       copy.substr(0, copy.size() / 2) + static_cast<char>(copy[copy.size() / 2] ^ 0x55) +
           copy.substr(copy.size() / 2 + 1),
       nullptr, size, kMaxWindowLog, DecodeResult::kCorrupt},
      {"a truncated frame", copy.substr(0, copy.size() - 5), nullptr, size, kMaxWindowLog, DecodeResult::kCorrupt},
      {"trailing bytes after the frame", copy + "x", nullptr, size, kMaxWindowLog, DecodeResult::kCorrupt},
      {"a wrong base", delta, &otherBase, size, deltaWindow, DecodeResult::kCorrupt},
      {"a frame window above the cap", smallDelta, &smallBase, size, WindowLogFor(size) - 1,
       DecodeResult::kWindowTooLarge},
      {"a base above the cap", delta, &base, size, WindowLogFor(size) - 1, DecodeResult::kWindowTooLarge},
      {"the window the encoder names", smallDelta, &smallBase, size, smallWindow, DecodeResult::kOk},
      {"output past maxBytes", copy, nullptr, size - 1, kMaxWindowLog, DecodeResult::kTooLong},
  };
  for (const Case& c : cases) {
    Scratch scratch;
    scratch.Write("frame", c.frame);
    if (c.base != nullptr) scratch.Write("base", *c.base);
    const DecodeResult result = c.base != nullptr
                                    ? ApplyDeltaFile(scratch.Path("base"), scratch.Path("frame"), scratch.Path("out"),
                                                     c.maxBytes, c.maxWindowLog)
                                    : DecompressFile(scratch.Path("frame"), scratch.Path("out"), c.maxBytes);
    EXPECT_EQ(result, c.result) << c.why << ": " << DecodeResultText(result);
    if (c.result == DecodeResult::kOk) {
      EXPECT_TRUE(scratch.Read("out") == target) << c.why;
    } else {
      EXPECT_FALSE(scratch.Exists("out")) << c.why << ": a partial target was left";
    }
  }
}

// The window rule decides which pairs get a delta at all: one too small
// makes frames the client refuses, one too large drops deltas it could use.
TEST(ZstdCodec, DeltaWindowHoldsTwiceTheLargerFileUpToTheCap) {
  struct Case {
    long long base;
    long long target;
    int windowLog;
  };
  const Case cases[] = {
      {0, 0, 11},
      {1024, 100, 11},
      {1025, 100, 12},
      {100, 64LL << 20, kMaxWindowLog},
      {(64LL << 20) + 1, 1, kMaxWindowLog + 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DeltaWindowLog(c.base, c.target), c.windowLog) << c.base << " " << c.target;
  }
  std::string frame;
  int windowLog = 0;
  EXPECT_TRUE(MakeDelta("abc", "abd", 1, frame, windowLog));
  EXPECT_EQ(windowLog, DeltaWindowLog(3, 3)) << "the encoder follows the rule it publishes";
}

}  // namespace
