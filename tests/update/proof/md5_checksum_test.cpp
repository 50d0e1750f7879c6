// CMD5Checksum against digests that did not come from this code: the RFC 1321
// test suite, and md5sum's digests of files made by a script with the same
// content as Pattern below.

#include "update/proof/md5_checksum.h"

#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using test_files::NarrowPath;

constexpr std::size_t kMiB = 1024 * 1024;

// Byte at offset i of every generated file: (i * 7 + 3) & 0xFF.
std::vector<unsigned char> Pattern(std::size_t start, std::size_t length) {
  std::vector<unsigned char> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(((start + i) * 7 + 3) & 0xFF);
  return bytes;
}

std::string DigestOf(const std::vector<unsigned char>& bytes) {
  CMD5Checksum checksum;
  checksum.Update(bytes.data(), bytes.size());
  return checksum.Final();
}

// Pieces of 1, 2, 3, 5, ... 89 bytes and an empty one in turn: they start and
// end at every offset within a block, and the larger ones span whole blocks.
std::string DigestInPieces(const std::vector<unsigned char>& bytes) {
  static const std::size_t kPieces[] = {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 0};
  CMD5Checksum checksum;
  std::size_t offset = 0;
  for (std::size_t i = 0; offset < bytes.size(); i = (i + 1) % (sizeof kPieces / sizeof kPieces[0])) {
    const std::size_t piece = std::min(kPieces[i], bytes.size() - offset);
    checksum.Update(bytes.data() + offset, piece);
    offset += piece;
  }
  return checksum.Final();
}

class Md5File : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    const int pid = _getpid();
#else
    const int pid = static_cast<int>(getpid());
#endif
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("zq_md5_" + std::to_string(pid) + "_" + test->name());
    fs::remove_all(dir_);
    ASSERT_TRUE(fs::create_directories(dir_));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Writes head at offset 0 and tail at tailOffset; the gap between reads as zeros.
  static void Write(const fs::path& path, const std::vector<unsigned char>& head, long tailOffset = 0,
                    const std::vector<unsigned char>& tail = {}) {
#ifdef _WIN32
    std::FILE* file = _wfopen(path.wstring().c_str(), L"wb");
#else
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
#endif
    ASSERT_NE(file, nullptr) << path;
    if (!head.empty()) {
      EXPECT_EQ(std::fwrite(head.data(), 1, head.size(), file), head.size());
    }
    if (!tail.empty()) {
      EXPECT_EQ(std::fseek(file, tailOffset, SEEK_SET), 0);
      EXPECT_EQ(std::fwrite(tail.data(), 1, tail.size(), file), tail.size());
    }
    ASSERT_EQ(std::fclose(file), 0);
  }

  fs::path dir_;
};

struct TextVector {
  const char* input;
  const char* digest;
};

// RFC 1321, appendix A.5, in upper case. The digest of "" has a byte 00 and
// bytes 04 and 09: they must stay two digits each.
const TextVector kRfc1321Suite[] = {
    {"", "D41D8CD98F00B204E9800998ECF8427E"},
    {"a", "0CC175B9C0F1B6A831C399E269772661"},
    {"abc", "900150983CD24FB0D6963F7D28E17F72"},
    {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
};

struct SizeVector {
  std::size_t size;
  const char* digest;
};

// md5sum of Pattern(0, size), upper-cased. The sizes sit on each side of the
// padding's edge (55, 56), of a block (63, 64, 65) and of a read (1023 to 2048).
const SizeVector kBlockBoundaries[] = {
    {0, "D41D8CD98F00B204E9800998ECF8427E"},    {1, "8666683506AACD900BBD5A74AC4EDF68"},
    {55, "52C0E574E1198DE5FE3F8F11440DCB1B"},   {56, "46C9907FC908EE68B1E7B8E71286A518"},
    {63, "A62F6D59E837867693F042F5B8F5A236"},   {64, "7160B8FB5E9E4023D549C3971FBAEEAD"},
    {65, "70BD662E7AEFBDA85A0F7244167B7897"},   {1023, "6F8C42978A120E01A68357829A2D0D77"},
    {1024, "A66351D9C8F941B70A02EAF9C41E69C3"}, {1025, "EE57403EB3428E1A0BE41FAD4A70B174"},
    {2048, "23398BB02C75378FB86BF1B62D860DEE"},
};

}  // namespace

// Catches a wrong constant, rotation, word order or round function, lower case
// or unpadded digits in the text, and empty input (a null pointer) mishandled.
TEST(Md5, Rfc1321SuiteInOneUpdateAndByteByByte) {
  for (const TextVector& v : kRfc1321Suite) {
    const std::string text(v.input);
    const std::vector<unsigned char> bytes(text.begin(), text.end());
    EXPECT_EQ(DigestOf(bytes), v.digest) << '"' << text << '"';

    CMD5Checksum checksum;
    for (unsigned char byte : bytes) checksum.Update(&byte, 1);
    EXPECT_EQ(checksum.Final(), v.digest) << '"' << text << "\" byte by byte";
  }
}

// Catches padding that goes wrong at the 56-byte edge, a buffer index or carry
// of partial blocks that is off by one, and blocks lost or repeated at a read's edge.
TEST_F(Md5File, BlockBoundariesThroughFileAndPieces) {
  for (const SizeVector& v : kBlockBoundaries) {
    const std::vector<unsigned char> bytes = Pattern(0, v.size);
    const fs::path path = dir_ / ("pattern_" + std::to_string(v.size) + ".bin");
    Write(path, bytes);

    EXPECT_EQ(CMD5Checksum::HashFile(NarrowPath(path)), v.digest) << v.size << " bytes, file";
    EXPECT_EQ(DigestOf(bytes), v.digest) << v.size << " bytes, one Update";
    EXPECT_EQ(DigestInPieces(bytes), v.digest) << v.size << " bytes, in pieces";
  }
}

// Catches a digest for a file that is not there: it must never look like the
// digest of an empty file.
TEST_F(Md5File, UnopenableFileGivesEmptyText) {
  EXPECT_EQ(CMD5Checksum::HashFile(NarrowPath(dir_ / "missing.bin")), "");
  EXPECT_EQ(CMD5Checksum::HashFile(NarrowPath(dir_ / "no_such_dir" / "a.bin")), "");
  EXPECT_EQ(CMD5Checksum::HashFile(""), "");
}

// Catches a file name passed to the runtime's narrow open, which reads it in
// the system's ANSI code page rather than 936 and misses the file.
TEST_F(Md5File, ChineseFileName) {
  const std::vector<unsigned char> abc = {'a', 'b', 'c'};
#ifdef _WIN32
  Write(dir_ / L"\u4E2D\u6587.bin", abc);
#else
  Write(dir_ / "\xD6\xD0\xCE\xC4.bin", abc);
#endif
  // 中文 in code page 936, after the directory with its trailing separator.
  const std::string name = NarrowPath(dir_ / "") + "\xD6\xD0\xCE\xC4.bin";
  EXPECT_EQ(CMD5Checksum::HashFile(name), "900150983CD24FB0D6963F7D28E17F72");
}

// 512 MiB and more is 2^32 bits and more: the bit count's high word is in play.
// The file is sparse: the pattern in its first MiB and from 511 MiB to the end,
// zeros between. Its digest is md5sum's of the same file made by a script.
// Catches a carry into the high word that is lost or doubled, a 32-bit length
// in Update, and a read loop that stops early on a large file.
TEST_F(Md5File, LargeFileCarriesIntoHighWordOfBitCount) {
  constexpr std::size_t kSize = 512 * kMiB + 1000;
  constexpr std::size_t kTailOffset = 511 * kMiB;
  const char* const kDigest = "F35D77ED8C5E2F040030510B79322A61";

  const fs::path path = dir_ / "large.bin";
  Write(path, Pattern(0, kMiB), static_cast<long>(kTailOffset), Pattern(kTailOffset, kSize - kTailOffset));
  ASSERT_EQ(fs::file_size(path), kSize);
  EXPECT_EQ(CMD5Checksum::HashFile(NarrowPath(path)), kDigest);
  fs::remove(path);

  // The same content in one call of more than 2^29 bytes.
  std::vector<unsigned char> bytes(kSize);
  const std::vector<unsigned char> head = Pattern(0, kMiB);
  const std::vector<unsigned char> tail = Pattern(kTailOffset, kSize - kTailOffset);
  std::copy(head.begin(), head.end(), bytes.begin());
  std::copy(tail.begin(), tail.end(), bytes.begin() + kTailOffset);
  EXPECT_EQ(DigestOf(bytes), kDigest);
}
