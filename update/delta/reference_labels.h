#pragma once

// The references of a program image that a relink moves, named by labels:
// the targets of rel32 branches in its code ranges and, in x86-64 code, of
// RIP-relative operands (x86_branches.h), and the addresses its relocation
// table lists (pe_relocations.h). Where a function
// moved, every call to it and every pointer at it changes; with each target
// replaced by a label that names the same thing in the old and the new
// image, those stretches read the same in both, and the patch's matching
// finds them whole. The publisher rewrites both images to labels before
// matching; the client rewrites the base as it reads it and turns the
// output's labels back into addresses (label_table.h).
//
// A target is an address relative to the image's base (an RVA). Both
// directions judge the same bytes at the same positions: branches exactly as
// x86_branches.h does (a label is below 2^24, so an operand rewritten keeps
// the top byte it was judged by), except one whose operand overlaps a
// relocated address, which is left alone; an 8-byte relocated address more
// than 4 GiB from the image's base is left alone too. Relocated addresses are
// turned to labels after the scan and back before it, so the scan reads the
// image's own bytes in both directions. Values only; any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "update/delta/patch_format.h"
#include "update/delta/pe_relocations.h"

// Labels are below this: the base's targets and the output's together.
inline constexpr std::uint32_t kMaxLabels = 1u << 20;

// Bytes either side of a block that its rewriting reads: a branch that
// starts before the block, and a relocated address under any byte the scan
// looks at, lie whole within them.
inline constexpr std::size_t kReferenceMargin = 32;

struct ImageReferences {
  std::vector<PatchRange> ranges;
  ImageRelocations relocations;
};

enum class LabelDirection { kToLabels, kToAddresses };

// A target to its label, or a label to its target; false when there is none.
using LabelTranslation = std::function<bool(std::uint32_t from, std::uint32_t& to)>;

// Rewrites the references in bytes, the file's offsets [bytesStart,
// bytesStart + size): the relocated addresses that lie whole in it, and the
// branches that a scan from position up to stopAt finds (as RewriteBranches
// does, and with the same return value). failed is set when a translation
// fails; the bytes are then not all rewritten.
std::uint64_t RewriteReferences(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                                const ImageReferences& image, std::uint64_t position, std::uint64_t stopAt,
                                LabelDirection direction, const LabelTranslation& translate, bool& failed);

// The two parts of that rewriting, for a reader that must order them
// itself: one relocated address at at (false when its translation fails),
// and the scan of branches.
bool RewriteSite(unsigned char* at, std::uint32_t site, std::uint64_t imageBase, LabelDirection direction,
                 const LabelTranslation& translate);
std::uint64_t ScanReferences(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                             const ImageReferences& image, std::uint64_t position, std::uint64_t stopAt,
                             LabelDirection direction, const LabelTranslation& translate, bool& failed);

// The whole image in memory, rewritten; false when a translation fails.
bool RewriteAllReferences(unsigned char* bytes, std::size_t size, const ImageReferences& image,
                          LabelDirection direction, const LabelTranslation& translate);

// A target's index among targets (sorted, distinct), which is its label in
// the image they were gathered from; false when it is not among them.
bool IndexOfTarget(const std::vector<std::uint32_t>& targets, std::uint32_t target, std::uint32_t& index);

// The distinct targets of an image, gathered a part at a time (a target may
// come more than once) and sorted, in at most kMaxLabels entries of memory.
class TargetSet {
 public:
  // Gathers the targets of a rewriting to labels (the bytes are left as they are).
  LabelTranslation Gatherer();
  // The targets, sorted and distinct; false when there were more than kMaxLabels / 2.
  bool Take(std::vector<std::uint32_t>& targets);

 private:
  bool Compact();

  std::vector<std::uint32_t> targets_;
  bool tooMany_ = false;
};
