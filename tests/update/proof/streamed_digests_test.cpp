// StreamedDigests against published vectors and the one-shot digests: what a
// download is judged by must not depend on how its bytes arrived, nor on a
// resume that reads its kept part back from disk.

#include "update/proof/streamed_digests.h"

#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3 + i / 251) & 0xff);
  return bytes;
}

// Fed in pieces of piece bytes (0: all at once), after an empty piece.
FileDigestTexts Streamed(const std::string& bytes, std::size_t piece, bool withSha256 = true) {
  StreamedDigests digests(withSha256);
  digests.Update(bytes.data(), 0);
  if (piece == 0) piece = std::max<std::size_t>(1, bytes.size());
  for (std::size_t offset = 0; offset < bytes.size(); offset += piece) {
    digests.Update(bytes.data() + offset, std::min(piece, bytes.size() - offset));
  }
  return digests.Finish();
}

// RFC 1321 and FIPS 180-2, through one object after stale bytes and a Reset;
// the 56-byte text puts the length in a block of its own. Catches digests in
// the wrong case or swapped, a Reset that keeps bytes, one file's bytes
// carried into the next by Finish, and a SHA-256 given when not asked for.
TEST(StreamedDigests, KnownVectorsFileAfterFile) {
  const struct {
    const char* input;
    const char* md5;
    const char* sha256;
  } cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "8215EF0796A20BCAAAE116D3876C664A",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (bool withSha256 : {true, false}) {
    StreamedDigests digests(withSha256);
    digests.Update("stale", 5);
    digests.Reset();
    for (const auto& c : cases) {
      for (const char* byte = c.input; *byte != '\0'; ++byte) digests.Update(byte, 1);
      const FileDigestTexts texts = digests.Finish();
      EXPECT_EQ(texts.md5, c.md5) << '"' << c.input << '"';
      EXPECT_EQ(texts.sha256, withSha256 ? c.sha256 : "") << '"' << c.input << '"';
    }
  }
}

// Sizes on each side of the padding's edge, of a block and of a file read.
// Catches bytes lost or repeated where a piece ends inside a block or on its
// edge, and an empty piece taken for the end.
TEST(StreamedDigests, EveryChunkingGivesTheOneShotDigests) {
  const std::size_t sizes[] = {0, 1, 55, 56, 63, 64, 65, 127, 128, 129, 4096, 65537, 200003};
  const std::size_t pieces[] = {0, 1, 7, 63, 64, 65, 4096, 65536};
  for (std::size_t size : sizes) {
    const std::string bytes = Pattern(size);
    const std::string md5 = test_files::Md5Of(bytes);
    const std::string sha256 = Sha256HexOfBytes(bytes);
    for (std::size_t piece : pieces) {
      const FileDigestTexts digests = Streamed(bytes, piece);
      EXPECT_EQ(digests.md5, md5) << size << " bytes in pieces of " << piece;
      EXPECT_EQ(digests.sha256, sha256) << size << " bytes in pieces of " << piece;
    }
    EXPECT_EQ(Streamed(bytes, 64, false).md5, md5) << size << " bytes, MD5 alone";
  }
}

// A resumed download feeds its kept part from disk, then the rest as it comes.
// Catches a read loop that drops or repeats bytes at its 64 KiB buffer's edge
// or reads past the kept length, and a kept part that cannot be read whole
// reported as read.
TEST(StreamedDigests, TheKeptPartFromDiskThenTheRestGiveTheWholeFile) {
  test_files::TempDirectory scratch("zq_streamed_");
  const std::string bytes = Pattern(200003);
  const std::string path = test_files::NarrowPath(scratch.path() / "part.bin");
  test_files::WriteFile(scratch.path() / "part.bin", bytes);
  const FileDigestTexts whole = Streamed(bytes, 0);
  for (std::size_t kept : {0u, 1u, 65535u, 65536u, 65537u, 131073u, 200003u}) {
    StreamedDigests digests;
    EXPECT_TRUE(digests.UpdateFromFile(path, static_cast<long long>(kept))) << kept;
    digests.Update(bytes.data() + kept, bytes.size() - kept);
    const FileDigestTexts texts = digests.Finish();
    EXPECT_EQ(texts.md5, whole.md5) << "keeping " << kept;
    EXPECT_EQ(texts.sha256, whole.sha256) << "keeping " << kept;
  }

  StreamedDigests digests;
  EXPECT_FALSE(digests.UpdateFromFile(path, 200004)) << "one byte past the file";
  const std::string missing = test_files::NarrowPath(scratch.path() / "missing.bin");
  EXPECT_FALSE(digests.UpdateFromFile(missing, 5)) << "kept bytes of a file that is gone";
  EXPECT_TRUE(digests.UpdateFromFile(missing, 0)) << "nothing kept: nothing to read";
}

}  // namespace
