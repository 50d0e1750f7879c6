#pragma once

// The table that turns the labels of a patch's output back into addresses
// (reference_labels.h). Label i < the base's target count names the base's
// i-th target (sorted), and the output's target that the maker paired with
// it; labels past them name targets new in the output. The table lists the
// output's targets in address order, each as two signed LEB128 numbers
// (zigzag): its label's step from the one before less one, and its shift
// from its partner's address (a new target's shift is its address) less the
// last partnered target's shift. A relink moves whole runs of functions
// together, so both are mostly zero. Values only; any thread.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The table of targets (sorted, distinct) with their labels.
std::string EncodeLabelTable(const std::vector<std::uint32_t>& baseTargets, const std::vector<std::uint32_t>& targets,
                             const std::vector<std::uint32_t>& labels);

// The next byte of a table; false when there is none.
using TableByte = std::function<bool(unsigned char& byte)>;

// Each label's address, as a table says: 4 bytes and a bit per label.
class LabelAddresses {
 public:
  // Reads count entries; false when the table is malformed, names a label
  // twice or past kMaxLabels, or when count is past kMaxLabels / 2.
  bool Decode(const TableByte& next, std::uint64_t count, const std::vector<std::uint32_t>& baseTargets);
  // The address label names; false when the table named none.
  bool Translate(std::uint32_t label, std::uint32_t& target) const;

 private:
  std::vector<std::uint32_t> targets_;
  std::vector<bool> known_;
};
