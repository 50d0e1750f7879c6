#include "publisher/image_labels.h"

#include <algorithm>

#include "publisher/label_alignment.h"
#include "update/delta/label_table.h"
#include "update/delta/pe_relocations.h"
#include "update/delta/reference_labels.h"

namespace {

unsigned char* Mutable(std::string& image) {
  return reinterpret_cast<unsigned char*>(&image[0]);
}

// An image's references, and its distinct targets; false when it has more
// than a client takes.
bool References(const std::string& image, const std::vector<PatchRange>& ranges, ImageReferences& references,
                std::vector<std::uint32_t>& targets) {
  references.ranges = ranges;
  if (!ReadImageRelocations(BytesOfImage(image), image.size(), references.relocations)) return false;
  std::string scratch = image;
  TargetSet gathered;
  return RewriteAllReferences(Mutable(scratch), scratch.size(), references, LabelDirection::kToLabels,
                              gathered.Gatherer()) &&
         gathered.Take(targets);
}

// image rewritten with each of targets named by its label.
bool Labelled(const std::string& image, const ImageReferences& references, const std::vector<std::uint32_t>& targets,
              const std::vector<std::uint32_t>* labels, std::string& out) {
  out = image;
  return RewriteAllReferences(Mutable(out), out.size(), references, LabelDirection::kToLabels,
                              [&](std::uint32_t target, std::uint32_t& label) {
                                if (!IndexOfTarget(targets, target, label)) return false;
                                if (labels != nullptr) label = (*labels)[label];
                                return true;
                              });
}

// Whether the client, given the labelled target, its code ranges and the
// table, gets the target back: the relocation table that names the
// addresses to turn back is read from the labelled image, as the client
// reads it, and a label must not have changed what that table says.
bool TurnsBack(const std::string& labelledTarget, const std::vector<PatchRange>& ranges, const std::string& table,
               std::uint64_t count, const std::vector<std::uint32_t>& baseTargets, const std::string& target) {
  LabelAddresses addresses;
  std::size_t at = 0;
  const TableByte next = [&](unsigned char& byte) {
    if (at == table.size()) return false;
    byte = static_cast<unsigned char>(table[at++]);
    return true;
  };
  ImageReferences references;
  references.ranges = ranges;
  if (!addresses.Decode(next, count, baseTargets) || at != table.size() ||
      !ReadImageRelocations(BytesOfImage(labelledTarget), labelledTarget.size(), references.relocations)) {
    return false;
  }
  std::string back = labelledTarget;
  return RewriteAllReferences(
             Mutable(back), back.size(), references, LabelDirection::kToAddresses,
             [&](std::uint32_t label, std::uint32_t& address) { return addresses.Translate(label, address); }) &&
         back == target;
}

}  // namespace

bool LabelImages(const std::string& base, const std::string& target, const std::vector<PatchRange>& baseRanges,
                 const std::vector<PatchRange>& targetRanges, LabelledImages& images) {
  ImageReferences baseReferences, targetReferences;
  std::vector<std::uint32_t> baseTargets, targets;
  if (!References(base, baseRanges, baseReferences, baseTargets) ||
      !References(target, targetRanges, targetReferences, targets)) {
    return false;
  }
  const std::vector<std::uint32_t> labels = AlignLabels(baseTargets, targets);
  images.table = EncodeLabelTable(baseTargets, targets, labels);
  images.labels = targets.size();
  return Labelled(base, baseReferences, baseTargets, nullptr, images.base) &&
         Labelled(target, targetReferences, targets, &labels, images.target) &&
         TurnsBack(images.target, targetRanges, images.table, images.labels, baseTargets, target);
}
