#pragma once

// Which target of a new program image is which target of the old one, for
// the labels of a patch (update/delta/reference_labels.h). A relink moves
// runs of functions together: the gaps between their consecutive targets
// then read the same in both images, where their addresses do not. So runs
// of kAnchorGaps gaps that occur once in each image anchor a pairing, grown
// both ways while the gaps agree, and where two paired targets have as many
// unpaired ones between them in both images, those are paired in order (the
// same functions, some grown or shrunk). Linear in the targets but for a
// sort. Values only; any thread.

#include <cstdint>
#include <vector>

inline constexpr std::size_t kAnchorGaps = 4;

// For each of targets (sorted, distinct), its label: the index of its
// partner among baseTargets (sorted, distinct), or for one without a
// partner, baseTargets.size() and up, in address order.
std::vector<std::uint32_t> AlignLabels(const std::vector<std::uint32_t>& baseTargets,
                                       const std::vector<std::uint32_t>& targets);
