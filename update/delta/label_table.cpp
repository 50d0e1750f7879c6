#include "update/delta/label_table.h"

#include "update/delta/reference_labels.h"

namespace {

void PutSigned(std::string& out, std::int64_t value) {
  std::uint64_t zigzag = (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
  for (; zigzag >= 0x80; zigzag >>= 7) out.push_back(static_cast<char>((zigzag & 0x7F) | 0x80));
  out.push_back(static_cast<char>(zigzag));
}

// At most ten bytes: anything longer is not a number we wrote.
bool GetSigned(const TableByte& next, std::int64_t& value) {
  std::uint64_t zigzag = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    unsigned char byte = 0;
    if (!next(byte)) return false;
    zigzag |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if (byte < 0x80) {
      value = static_cast<std::int64_t>(zigzag >> 1) ^ -static_cast<std::int64_t>(zigzag & 1);
      return true;
    }
  }
  return false;
}

}  // namespace

std::string EncodeLabelTable(const std::vector<std::uint32_t>& baseTargets, const std::vector<std::uint32_t>& targets,
                             const std::vector<std::uint32_t>& labels) {
  std::string table;
  std::int64_t lastLabel = -1, lastShift = 0;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const std::int64_t label = labels[i];
    const bool partnered = labels[i] < baseTargets.size();
    const std::int64_t shift =
        static_cast<std::int64_t>(targets[i]) - (partnered ? static_cast<std::int64_t>(baseTargets[labels[i]]) : 0);
    PutSigned(table, label - lastLabel - 1);
    PutSigned(table, shift - lastShift);
    lastLabel = label;
    if (partnered) lastShift = shift;
  }
  return table;
}

bool LabelAddresses::Decode(const TableByte& next, std::uint64_t count, const std::vector<std::uint32_t>& baseTargets) {
  if (count > kMaxLabels / 2 || baseTargets.size() > kMaxLabels / 2) return false;
  const std::size_t labels = baseTargets.size() + static_cast<std::size_t>(count);
  targets_.assign(labels, 0);
  known_.assign(labels, false);
  std::int64_t lastLabel = -1, lastShift = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::int64_t step = 0, shiftStep = 0;
    if (!GetSigned(next, step) || !GetSigned(next, shiftStep)) return false;
    // Both stay far inside 64 bits for any table of ours; a larger step is
    // refused before it can overflow.
    if (step < -static_cast<std::int64_t>(kMaxLabels) || step > kMaxLabels) return false;
    if (shiftStep < -(std::int64_t{1} << 34) || shiftStep > (std::int64_t{1} << 34)) return false;
    const std::int64_t label = lastLabel + step + 1;
    if (label < 0 || label >= static_cast<std::int64_t>(labels) || known_[static_cast<std::size_t>(label)]) {
      return false;
    }
    const std::size_t index = static_cast<std::size_t>(label);
    const bool partnered = index < baseTargets.size();
    const std::int64_t shift = lastShift + shiftStep;
    targets_[index] = static_cast<std::uint32_t>((partnered ? baseTargets[index] : 0) + shift);
    known_[index] = true;
    lastLabel = label;
    if (partnered) lastShift = shift;
  }
  return true;
}

bool LabelAddresses::Translate(std::uint32_t label, std::uint32_t& target) const {
  if (label >= known_.size() || !known_[label]) return false;
  target = targets_[label];
  return true;
}
