// Labels for the references of program images, the client's half. A fault
// here turns one pointer or call of a program into another: the proof of the
// file then fails on every PC and the patch road is wasted, or a block read
// by the applier differs from the image the publisher matched.

#include "update/delta/reference_labels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "update/delta/block_reader.h"
#include "update/delta/label_table.h"
#include "update/delta/pe_relocations.h"
#include "update/delta/x86_branches.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Code-like bytes: rel32 branches, RIP-relative forms with and without
// prefixes and immediates, stray bytes between them, and relocated addresses
// every few dozen bytes near the image.
struct Image {
  Bytes bytes;
  ImageReferences references;
};

void AddInstruction(std::mt19937& generator, Bytes& bytes) {
  static const std::vector<Bytes> kOpcodes = {{0xE8},
                                              {0xE9},
                                              {0x0F, 0x84},
                                              {0x48, 0x8B, 0x05},
                                              {0x48, 0x8D, 0x0D},
                                              {0xFF, 0x15},
                                              {0x66, 0xC7, 0x05},
                                              {0x48, 0xC7, 0x05},
                                              {0x83, 0x3D},
                                              {0xF3, 0x0F, 0x10, 0x05},
                                              {0x90},
                                              {0x0F}};
  const Bytes& opcode = kOpcodes[generator() % kOpcodes.size()];
  bytes.insert(bytes.end(), opcode.begin(), opcode.end());
  const std::uint32_t operand = generator() % 0x40000 - (generator() % 2 ? 0x20000 : 0);
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(operand >> (8 * i)));
  for (std::uint32_t i = generator() % 3; i > 0; --i) bytes.push_back(static_cast<unsigned char>(generator()));
}

Image RandomImage(unsigned seed, bool x64) {
  std::mt19937 generator(seed);
  Image image;
  const std::size_t size = 3 * kBlockBytes + 4321;
  while (image.bytes.size() < size) AddInstruction(generator, image.bytes);
  image.bytes.resize(size);
  image.references.ranges = {{4096, static_cast<std::uint32_t>(size - 700), 0x1000}};
  ImageRelocations& relocations = image.references.relocations;
  relocations.imageBase = x64 ? 0x140000000ULL : 0x400000;
  relocations.x64 = x64;
  for (std::uint32_t at = 64; at + 8 < size; at += 20 + generator() % 200) {
    const bool wide = x64 && generator() % 2;
    PutLe(&image.bytes[at], relocations.imageBase + generator() % 0x80000, wide ? 8 : 4);
    relocations.sites.push_back(at | (wide ? kWideSite : 0));
  }
  return image;
}

// The image's distinct targets, which name their labels by their order.
std::vector<std::uint32_t> TargetsOf(const Image& image) {
  Bytes scratch = image.bytes;
  TargetSet set;
  std::vector<std::uint32_t> targets;
  EXPECT_TRUE(RewriteAllReferences(scratch.data(), scratch.size(), image.references, LabelDirection::kToLabels,
                                   set.Gatherer()));
  EXPECT_TRUE(set.Take(targets));
  return targets;
}

LabelTranslation LabelOf(const std::vector<std::uint32_t>& targets) {
  return [&targets](std::uint32_t target, std::uint32_t& label) { return IndexOfTarget(targets, target, label); };
}

// The image comes back from its labels, and the applier's reader, a block
// and its margins at a time, reads it as the whole image's rewriting does,
// in an order that comes back to blocks it has read.
void ExpectLabelsHold(const Image& image, const std::string& name) {
  SCOPED_TRACE(name);
  const std::vector<std::uint32_t> targets = TargetsOf(image);
  Bytes labelled = image.bytes;
  ASSERT_TRUE(RewriteAllReferences(labelled.data(), labelled.size(), image.references, LabelDirection::kToLabels,
                                   LabelOf(targets)));
  EXPECT_FALSE(labelled == image.bytes);

  // The table as the publisher writes it, each target its own partner.
  std::vector<std::uint32_t> labels(targets.size());
  for (std::uint32_t i = 0; i < labels.size(); ++i) labels[i] = i;
  const std::string table = EncodeLabelTable(targets, targets, labels);
  std::size_t read = 0;
  LabelAddresses addresses;
  ASSERT_TRUE(addresses.Decode([&](unsigned char& byte) { return read < table.size() && (byte = table[read++], true); },
                               targets.size(), targets));
  Bytes back = labelled;
  ASSERT_TRUE(RewriteAllReferences(
      back.data(), back.size(), image.references, LabelDirection::kToAddresses,
      [&](std::uint32_t label, std::uint32_t& target) { return addresses.Translate(label, target); }));
  EXPECT_TRUE(back == image.bytes);

  test_files::TempDirectory dir("zq_reference_labels_test_");
  test_files::WriteFile(dir.path() / "image", std::string(image.bytes.begin(), image.bytes.end()));
  bool failed = false;
  const BlockRewrite rewrite = [&](unsigned char* bytes, std::uint64_t start, std::size_t size, std::uint64_t position,
                                   std::uint64_t stopAt) {
    return RewriteReferences(bytes, start, size, image.references, position, stopAt, LabelDirection::kToLabels,
                             LabelOf(targets), failed);
  };
  BlockReader reader;
  ASSERT_TRUE(reader.Open(test_files::NarrowPath(dir.path() / "image"), image.bytes.size(),
                          FirstScanPosition(image.references.ranges), rewrite, rewrite));
  Bytes blockwise(image.bytes.size());
  for (std::size_t at : {std::size_t{70000}, std::size_t{0}, std::size_t{150000}, std::size_t{65530}}) {
    const std::size_t size = std::min<std::size_t>(90000, blockwise.size() - at);
    ASSERT_TRUE(reader.Read(at, size, blockwise.data() + at));
  }
  EXPECT_FALSE(failed);
  EXPECT_TRUE(blockwise == labelled);
}

TEST(ReferenceLabels, EveryImageComesBackWholeAndReadsTheSameBlockByBlock) {
  for (const bool x64 : {false, true}) {
    for (unsigned seed = 0; seed < 4; ++seed) {
      ExpectLabelsHold(RandomImage(seed, x64), "random, x64 " + std::to_string(x64) + " seed " + std::to_string(seed));
    }
  }
  // The longest forms at every offset before a block's end, in code that
  // holds nothing else: an operand that crosses into the next block must be
  // found by that block's scan as well.
  const Bytes longest[] = {{0xF3, 0x48, 0x0F, 0x10, 0x05}, {0x66, 0xC7, 0x05}, {0x48, 0x81, 0x05}, {0x0F, 0x85}};
  for (const Bytes& opcode : longest) {
    for (std::size_t before = 1; before <= 16; ++before) {
      Image image = RandomImage(0, true);
      image.references.relocations.sites.clear();
      std::fill(image.bytes.begin(), image.bytes.end(), 0x90);
      const std::size_t at = kBlockBytes - before;
      std::copy(opcode.begin(), opcode.end(), image.bytes.begin() + static_cast<std::ptrdiff_t>(at));
      PutLe(&image.bytes[at + opcode.size()], 0xFFF01234u, 4);
      ExpectLabelsHold(image, "opcode " + std::to_string(opcode[0]) + " at " + std::to_string(before));
    }
  }
}

TEST(LabelTable, MalformedTablesAreRefused) {
  const std::vector<std::uint32_t> base = {0x1000, 0x2000};
  const struct {
    const char* fault;
    std::string table;
    std::uint64_t count;
  } cases[] = {
      {"a label named twice", std::string("\x00\x00\x01\x00", 4), 2},
      {"a label before the first", std::string("\x01\x00", 2), 1},
      {"a label past the base's and the table's", std::string("\x06\x00", 2), 1},
      {"a number that never ends", std::string(11, '\x80'), 1},
      {"a table that ends early", std::string("\x00", 1), 1},
      {"more labels than a client holds", std::string("\x00\x00", 2), kMaxLabels},
  };
  for (const auto& c : cases) {
    std::size_t read = 0;
    LabelAddresses addresses;
    EXPECT_FALSE(addresses.Decode(
        [&](unsigned char& byte) { return read < c.table.size() && (byte = c.table[read++], true); }, c.count, base))
        << c.fault;
  }
}

// An image of one section at file 0x200, address 0x1000, holding the table.
std::string ImageWithTable(bool x64, const std::vector<std::uint16_t>& entries, std::uint32_t page = 0x1000) {
  std::string image(0x1200, '\0');
  auto put = [&](std::size_t at, std::uint64_t value, std::size_t bytes) {
    PutLe(reinterpret_cast<unsigned char*>(&image[at]), value, bytes);
  };
  const std::size_t optional = 0x40 + 24, optionalBytes = x64 ? 240 : 224;
  put(0, 0x5A4D, 2);
  put(0x3C, 0x40, 4);
  put(0x40, 0x4550, 4);
  put(0x44, x64 ? 0x8664 : 0x014C, 2);
  put(0x46, 1, 2);
  put(0x54, optionalBytes, 2);
  put(optional, x64 ? 0x20B : 0x10B, 2);
  put(optional + (x64 ? 24 : 28), x64 ? 0x140000000ULL : 0x400000, x64 ? 8 : 4);
  put(optional + (x64 ? 108 : 92), 16, 4);
  const std::size_t directory = optional + (x64 ? 112 : 96) + 5 * 8;
  put(directory, 0x1800, 4);
  put(directory + 4, 8 + 2 * entries.size(), 4);
  const std::size_t section = optional + optionalBytes;
  put(section + 12, 0x1000, 4);
  put(section + 16, 0x1000, 4);
  put(section + 20, 0x200, 4);
  put(0x200 + 0x800, page, 4);
  put(0x200 + 0x804, 8 + 2 * entries.size(), 4);
  for (std::size_t i = 0; i < entries.size(); ++i) put(0x200 + 0x808 + 2 * i, entries[i], 2);
  return image;
}

bool Relocations(const std::string& image, ImageRelocations& relocations) {
  return ReadImageRelocations(BytesOfImage(image), image.size(), relocations);
}

TEST(PeRelocations, SitesAreReadSortedAndOnlyFromWellFormedTables) {
  ImageRelocations relocations;
  // DIR64 at 0x1020, HIGHLOW at 0x1010, padding, another architecture's kind.
  ASSERT_TRUE(Relocations(ImageWithTable(true, {0xA020, 0x3010, 0x0000, 0x1030}), relocations));
  EXPECT_TRUE(relocations.x64);
  EXPECT_EQ(relocations.imageBase, 0x140000000ULL);
  EXPECT_EQ(relocations.sites, (std::vector<std::uint32_t>{0x210, 0x220 | kWideSite}));
  EXPECT_TRUE(OverlapsSite(relocations.sites, 0x20E, 4));
  EXPECT_FALSE(OverlapsSite(relocations.sites, 0x214, 4));
  EXPECT_TRUE(OverlapsSite(relocations.sites, 0x227, 1));

  // Addresses past the file's bytes name nothing and are passed over.
  ASSERT_TRUE(Relocations(ImageWithTable(false, {0x3010}, 0x9000), relocations));
  EXPECT_TRUE(relocations.sites.empty());
  EXPECT_FALSE(relocations.x64);

  EXPECT_FALSE(Relocations(ImageWithTable(true, {0xA020, 0x3024}), relocations)) << "overlapping sites";
  std::string cut = ImageWithTable(false, {0x3010});
  cut.resize(0x900);
  EXPECT_FALSE(Relocations(cut, relocations)) << "a table past the file's end";
  EXPECT_FALSE(Relocations(std::string(0x400, 'M'), relocations)) << "no image";
}

}  // namespace
