#include "publisher/label_alignment.h"

#include <algorithm>
#include <array>

namespace {

using Run = std::array<std::uint32_t, kAnchorGaps>;
constexpr std::int64_t kNone = -1;

std::vector<std::uint32_t> Gaps(const std::vector<std::uint32_t>& targets) {
  std::vector<std::uint32_t> gaps;
  for (std::size_t i = 1; i < targets.size(); ++i) gaps.push_back(targets[i] - targets[i - 1]);
  return gaps;
}

Run RunAt(const std::vector<std::uint32_t>& gaps, std::size_t at) {
  Run run;
  std::copy_n(gaps.begin() + static_cast<std::ptrdiff_t>(at), kAnchorGaps, run.begin());
  return run;
}

// The runs that start at one position only, with that position, sorted by run.
std::vector<std::pair<Run, std::size_t>> SingleRuns(const std::vector<std::uint32_t>& gaps) {
  std::vector<std::pair<Run, std::size_t>> runs;
  for (std::size_t i = 0; i + kAnchorGaps <= gaps.size(); ++i) runs.emplace_back(RunAt(gaps, i), i);
  std::sort(runs.begin(), runs.end());
  std::vector<std::pair<Run, std::size_t>> single;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const bool same =
        (i > 0 && runs[i - 1].first == runs[i].first) || (i + 1 < runs.size() && runs[i + 1].first == runs[i].first);
    if (!same) single.push_back(runs[i]);
  }
  return single;
}

class Pairing {
 public:
  Pairing(std::size_t baseCount, std::size_t count) : partner_(count, kNone), used_(baseCount, false) {}

  void Pair(std::size_t base, std::size_t target) {
    if (partner_[target] != kNone || used_[base]) return;
    partner_[target] = static_cast<std::int64_t>(base);
    used_[base] = true;
  }
  bool Paired(std::size_t target) const { return partner_[target] != kNone; }
  std::int64_t PartnerOf(std::size_t target) const { return partner_[target]; }

  // Partners where both sides hold as many targets between two pairs, or
  // before the first pair, or after the last.
  void FillBetween() {
    std::int64_t lastBase = -1, last = -1;
    for (std::size_t target = 0; target <= partner_.size(); ++target) {
      const bool end = target == partner_.size();
      if (!end && partner_[target] == kNone) continue;
      const std::int64_t base = end ? static_cast<std::int64_t>(used_.size()) : partner_[target];
      const std::int64_t gap = static_cast<std::int64_t>(target) - last;
      if (base - lastBase == gap) {
        for (std::int64_t k = 1; k < gap; ++k) {
          Pair(static_cast<std::size_t>(lastBase + k), static_cast<std::size_t>(last + k));
        }
      }
      if (!end) {
        lastBase = partner_[target];
        last = static_cast<std::int64_t>(target);
      }
    }
  }

 private:
  std::vector<std::int64_t> partner_;
  std::vector<bool> used_;
};

}  // namespace

std::vector<std::uint32_t> AlignLabels(const std::vector<std::uint32_t>& baseTargets,
                                       const std::vector<std::uint32_t>& targets) {
  const std::vector<std::uint32_t> baseGaps = Gaps(baseTargets), gaps = Gaps(targets);
  const auto baseRuns = SingleRuns(baseGaps);
  auto runs = SingleRuns(gaps);
  std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  Pairing pairing(baseTargets.size(), targets.size());
  for (const auto& [run, b] : runs) {
    if (pairing.Paired(b)) continue;
    const auto found = std::lower_bound(baseRuns.begin(), baseRuns.end(), std::make_pair(run, std::size_t{0}));
    if (found == baseRuns.end() || found->first != run) continue;
    const std::size_t a = found->second;
    std::size_t back = 0, ahead = kAnchorGaps;
    while (back < a && back < b && baseGaps[a - back - 1] == gaps[b - back - 1]) ++back;
    while (a + ahead < baseGaps.size() && b + ahead < gaps.size() && baseGaps[a + ahead] == gaps[b + ahead]) ++ahead;
    for (std::size_t k = 0; k <= back + ahead; ++k) pairing.Pair(a - back + k, b - back + k);
  }
  pairing.FillBetween();
  std::vector<std::uint32_t> labels(targets.size());
  std::uint32_t fresh = static_cast<std::uint32_t>(baseTargets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    labels[i] = pairing.Paired(i) ? static_cast<std::uint32_t>(pairing.PartnerOf(i)) : fresh++;
  }
  return labels;
}
