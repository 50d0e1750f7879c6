// The client's applier of patches against patches written by hand, record by
// record, as a hostile or broken server could serve them. A fault here reads
// or writes outside a file, allocates what a header asks for, spins on a
// stream that never ends, or reports a wrong file as made.

#include "update/delta/patch_apply.h"

#include <zstd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "update/delta/patch_format.h"

namespace {

using test_files::NarrowPath;

struct Rec {
  std::uint64_t copy, insert;
  std::int64_t seek;
};

std::string Frame(const std::string& bytes, int windowLog = kPatchStreamWindowLog) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  std::string frame(ZSTD_compressBound(bytes.size()), '\0');
  frame.resize(ZSTD_compress2(context, &frame[0], frame.size(), bytes.data(), bytes.size()));
  ZSTD_freeCCtx(context);
  return frame;
}

std::string Control(const std::vector<Rec>& records) {
  std::string control(records.size() * kControlRecordBytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(&control[0]);
  for (const Rec& r : records) {
    PutLe(out, r.copy, 8);
    PutLe(out + 8, r.insert, 8);
    PutLe(out + 16, static_cast<std::uint64_t>(r.seek), 8);
    out += kControlRecordBytes;
  }
  return control;
}

// The streams of a patch, each already a frame (or anything else).
struct Frames {
  std::string control, runs, values, extra;
  std::uint64_t nonZero = 0;
};

std::string Patch(std::uint64_t baseSize, std::uint64_t outputSize, const Frames& frames) {
  unsigned char header[kPatchHeaderBytes] = {'Z', 'Q', 'P', 'D', kPatchVersion};
  PutLe(header + 8, baseSize, 8);
  PutLe(header + 16, outputSize, 8);
  PutLe(header + 24, frames.nonZero, 8);
  const std::string* parts[] = {&frames.control, &frames.runs, &frames.values, &frames.extra};
  for (int i = 0; i < 4; ++i) PutLe(header + 32 + 8 * i, parts[i]->size(), 8);
  std::string patch(reinterpret_cast<char*>(header), sizeof header);
  for (const std::string* part : parts) patch += *part;
  return patch;
}

// The diff bytes as runs of zeros before each value that is not zero.
Frames Split(const std::string& diff) {
  std::string runs, values;
  std::uint64_t zeros = 0;
  for (char c : diff) {
    if (c == 0) {
      ++zeros;
      continue;
    }
    for (; zeros >= 0x80; zeros >>= 7) runs += static_cast<char>((zeros & 0x7F) | 0x80);
    runs += static_cast<char>(zeros);
    values += c;
    zeros = 0;
  }
  return {"", Frame(runs), Frame(values), "", values.size()};
}

std::string Patch(std::uint64_t baseSize, std::uint64_t outputSize, const std::vector<Rec>& records,
                  const std::string& diff, const std::string& extra) {
  Frames frames = Split(diff);
  frames.control = Frame(Control(records));
  frames.extra = Frame(extra);
  return Patch(baseSize, outputSize, frames);
}

class PatchApplyTest : public ::testing::Test {
 protected:
  DecodeResult Apply(const std::string& patch, long long maxBytes = 1 << 20) {
    test_files::WriteFile(dir_.path() / "base", base_);
    test_files::WriteFile(dir_.path() / "patch", patch);
    return ApplyPatchFile(NarrowPath(dir_.path() / "base"), NarrowPath(dir_.path() / "patch"), Target(), maxBytes);
  }
  std::string Target() const { return NarrowPath(dir_.path() / "target"); }
  bool TargetExists() const { return std::filesystem::exists(dir_.path() / "target"); }
  std::string Made() const { return test_files::ReadFile(dir_.path() / "target"); }

  std::string base_ = "0123456789abcdefghij";
  test_files::TempDirectory dir_{"zq_patch_apply_test_"};
};

TEST_F(PatchApplyTest, RecordsCopyWithDiffInsertAndSeekBothWays) {
  // An empty first record moves the read position before any copy; then a
  // copy of "abc" with +1 on its middle byte, an insert, a seek back to 0.
  const std::string diff = std::string("\0\1\0", 3) + std::string(2, '\0');
  const std::vector<Rec> records = {{0, 0, 10}, {3, 2, -13}, {2, 0, 0}};
  ASSERT_EQ(Apply(Patch(base_.size(), 7, records, diff, "XY")), DecodeResult::kOk);
  EXPECT_EQ(Made(), "acc"
                    "XY"
                    "01");
}

TEST_F(PatchApplyTest, EmptyOutputAndEmptyBase) {
  ASSERT_EQ(Apply(Patch(base_.size(), 0, {}, "", "")), DecodeResult::kOk);
  EXPECT_EQ(Made(), "");
  base_.clear();
  ASSERT_EQ(Apply(Patch(0, 3, {{0, 3, 0}}, "", "new")), DecodeResult::kOk);
  EXPECT_EQ(Made(), "new");
}

TEST_F(PatchApplyTest, HostilePatchesAreRefusedAndLeaveNoTarget) {
  const std::string diff3(3, '\0');
  const std::string good = Patch(20, 3, {{3, 0, 0}}, diff3, "");
  auto withByte = [&](std::size_t at, char value) {
    std::string patch = good;
    patch[at] = value;
    return patch;
  };
  const std::string diff1 = std::string("\0\1\0", 3);
  const Frames bigFrames = {Frame(Control({{0, 5u << 20, 0}})), Frame(""), Frame(""),
                            Frame(std::string(5u << 20, 'x'), 23), 0};
  Frames trailing = Split(diff1), twoFrames = Split(diff1), zeroValue = Split(diff1), longRun = Split(diff1);
  trailing.control = twoFrames.control = zeroValue.control = longRun.control = Frame(Control({{3, 0, 0}}));
  trailing.extra = twoFrames.extra = zeroValue.extra = longRun.extra = Frame("");
  trailing.values += "junk";
  twoFrames.runs += Frame(std::string(1, '\0'));
  zeroValue.values = Frame(std::string(1, '\0'));
  longRun.runs = Frame(std::string(11, '\x80') + '\1');
  Frames tooMany = Split(diff1);
  tooMany.control = Frame(Control({{3, 0, 0}}));
  tooMany.extra = Frame("");
  tooMany.nonZero = 2;
  struct Case {
    const char* fault;
    std::string patch;
    DecodeResult expected;
  } cases[] = {
      {"reads a header that is not there", good.substr(0, 20), DecodeResult::kCorrupt},
      {"takes another format for ours", withByte(0, 'X'), DecodeResult::kCorrupt},
      {"takes a later version for this one", withByte(4, 2), DecodeResult::kCorrupt},
      {"ignores a reserved byte", withByte(7, 1), DecodeResult::kCorrupt},
      {"applies a patch of another base", withByte(8, 21), DecodeResult::kCorrupt},
      {"allocates or writes past the size allowed", Patch(20, 9u << 20, {{0, 9u << 20, 0}}, "", "x"),
       DecodeResult::kTooLong},
      {"trusts stream lengths past the file", withByte(56, 100), DecodeResult::kCorrupt},
      {"counts more diff values than output bytes", withByte(24, 4), DecodeResult::kCorrupt},
      {"ignores bytes after the streams", good + "x", DecodeResult::kCorrupt},
      {"applies a truncated stream", good.substr(0, good.size() - 1), DecodeResult::kCorrupt},
      {"copies past the end of the base", Patch(20, 3, {{0, 0, 19}, {3, 0, 0}}, diff3, ""), DecodeResult::kCorrupt},
      {"seeks before the start of the base", Patch(20, 6, {{3, 0, -4}, {3, 0, 0}}, diff3 + diff3, ""),
       DecodeResult::kCorrupt},
      {"seeks by the most negative number", Patch(20, 6, {{3, 0, INT64_MIN}, {3, 0, 0}}, diff3 + diff3, ""),
       DecodeResult::kCorrupt},
      {"seeks past the end of the base", Patch(20, 6, {{3, 0, 18}, {3, 0, 0}}, diff3 + diff3, ""),
       DecodeResult::kCorrupt},
      {"wraps a copy length round", Patch(20, 3, {{~0ULL, 0, 0}}, diff3, ""), DecodeResult::kCorrupt},
      {"inserts past the output's size", Patch(20, 3, {{0, 4, 0}}, "", "abcd"), DecodeResult::kCorrupt},
      {"spins on records that write nothing", Patch(20, 3, {{0, 0, 1}, {0, 0, 1}, {3, 0, 0}}, diff3, ""),
       DecodeResult::kCorrupt},
      {"stops before the output is whole", Patch(20, 6, {{3, 0, 0}}, diff3, ""), DecodeResult::kCorrupt},
      {"leaves records unused", Patch(20, 3, {{3, 0, 0}, {0, 1, 0}}, diff3, "x"), DecodeResult::kCorrupt},
      {"ignores junk after a stream's frame", Patch(20, 3, trailing), DecodeResult::kCorrupt},
      {"reads a second frame in a stream", Patch(20, 3, twoFrames), DecodeResult::kCorrupt},
      {"takes a zero value, which has another encoding", Patch(20, 3, zeroValue), DecodeResult::kCorrupt},
      {"reads a run of endless continuation bytes", Patch(20, 3, longRun), DecodeResult::kCorrupt},
      {"leaves counted values unread", Patch(20, 3, tooMany), DecodeResult::kCorrupt},
      {"leaves a value unused after the copies", Patch(20, 3, {{3, 0, 0}}, diff3 + "\1", ""), DecodeResult::kCorrupt},
      {"holds a window larger than the bound", Patch(20, 5u << 20, bigFrames), DecodeResult::kWindowTooLarge},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Apply(c.patch, 8 << 20), c.expected) << c.fault;
    EXPECT_FALSE(TargetExists()) << c.fault;
  }
}

TEST_F(PatchApplyTest, MissingFilesAreReportedAsSuch) {
  const std::string base = NarrowPath(dir_.path() / "base");
  test_files::WriteFile(dir_.path() / "patch", Patch(20, 3, {{3, 0, 0}}, std::string(3, '\0'), ""));
  const std::string patch = NarrowPath(dir_.path() / "patch");
  EXPECT_EQ(ApplyPatchFile(base, patch, Target(), 100), DecodeResult::kCannotRead) << "no base";
  test_files::WriteFile(dir_.path() / "base", base_);
  EXPECT_EQ(ApplyPatchFile(base, patch, NarrowPath(dir_.path() / "no" / "target"), 100), DecodeResult::kCannotWrite);
}

}  // namespace
