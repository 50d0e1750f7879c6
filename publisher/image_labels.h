#pragma once

// The publisher's side of labels (update/delta/reference_labels.h): two
// program images with their references named by labels, the new image's
// targets paired with the old one's (label_alignment.h), and the table that
// turns the new image's labels back (update/delta/label_table.h), proved to
// turn them back byte for byte the way the client will. Values only; any
// thread. Memory: two copies of each image and 12 bytes per target.

#include <cstdint>
#include <string>
#include <vector>

#include "update/delta/patch_format.h"

struct LabelledImages {
  std::string base;
  std::string target;
  std::string table;
  std::uint64_t labels = 0;
};

// False when either image has more references than a client takes, a
// relocation table it cannot read, or labels that would not turn back.
bool LabelImages(const std::string& base, const std::string& target, const std::vector<PatchRange>& baseRanges,
                 const std::vector<PatchRange>& targetRanges, LabelledImages& images);
