#include "update/delta/reference_labels.h"

#include <algorithm>

#include "update/delta/x86_branches.h"

namespace {

constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

}  // namespace

bool RewriteSite(unsigned char* at, std::uint32_t site, std::uint64_t imageBase, LabelDirection direction,
                 const LabelTranslation& translate) {
  const std::size_t width = SiteWidth(site);
  const std::uint64_t value = GetLe(at, width);
  std::uint32_t result = 0;
  if (direction == LabelDirection::kToLabels) {
    const std::uint64_t target = (value - imageBase) & (width == 8 ? UINT64_MAX : kFourGiB - 1);
    if (target >= kFourGiB) return true;
    if (!translate(static_cast<std::uint32_t>(target), result)) return false;
    PutLe(at, result, width);
  } else {
    if (value >= kFourGiB) return true;
    if (!translate(static_cast<std::uint32_t>(value), result)) return false;
    PutLe(at, imageBase + result, width);
  }
  return true;
}

namespace {

// The relocated addresses that lie whole in bytes.
bool RewriteRelocated(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                      const ImageRelocations& relocations, LabelDirection direction,
                      const LabelTranslation& translate) {
  const std::vector<std::uint32_t>& sites = relocations.sites;
  auto site = std::lower_bound(sites.begin(), sites.end(), bytesStart,
                               [](std::uint32_t s, std::uint64_t at) { return SiteOffset(s) < at; });
  for (; site != sites.end() && SiteOffset(*site) + SiteWidth(*site) <= bytesStart + size; ++site) {
    if (!RewriteSite(bytes + (SiteOffset(*site) - bytesStart), *site, relocations.imageBase, direction, translate)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::uint64_t ScanReferences(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                             const ImageReferences& image, std::uint64_t position, std::uint64_t stopAt,
                             LabelDirection direction, const LabelTranslation& translate, bool& failed) {
  const bool toLabels = direction == LabelDirection::kToLabels;
  const auto visit = [&](unsigned char* operand, std::uint32_t end, std::uint64_t offset) {
    const std::uint32_t value = static_cast<std::uint32_t>(GetLe(operand, 4));
    if (!BranchInReach(value) || OverlapsSite(image.relocations.sites, offset, 4)) return;
    std::uint32_t result = 0;
    if (!translate(toLabels ? end + value : value, result)) {
      failed = true;
      return;
    }
    PutLe(operand, toLabels ? result : result - end, 4);
  };
  return ScanBranches(bytes, bytesStart, size, image.ranges, position, stopAt, visit, image.relocations.x64);
}

std::uint64_t RewriteReferences(unsigned char* bytes, std::uint64_t bytesStart, std::size_t size,
                                const ImageReferences& image, std::uint64_t position, std::uint64_t stopAt,
                                LabelDirection direction, const LabelTranslation& translate, bool& failed) {
  const bool toLabels = direction == LabelDirection::kToLabels;
  if (!toLabels && !RewriteRelocated(bytes, bytesStart, size, image.relocations, direction, translate)) failed = true;
  const std::uint64_t next =
      ScanReferences(bytes, bytesStart, size, image, position, stopAt, direction, translate, failed);
  if (toLabels && !RewriteRelocated(bytes, bytesStart, size, image.relocations, direction, translate)) failed = true;
  return next;
}

bool RewriteAllReferences(unsigned char* bytes, std::size_t size, const ImageReferences& image,
                          LabelDirection direction, const LabelTranslation& translate) {
  bool failed = false;
  RewriteReferences(bytes, 0, size, image, FirstScanPosition(image.ranges), kNoScanPosition, direction, translate,
                    failed);
  return !failed;
}

bool IndexOfTarget(const std::vector<std::uint32_t>& targets, std::uint32_t target, std::uint32_t& index) {
  const auto at = std::lower_bound(targets.begin(), targets.end(), target);
  index = static_cast<std::uint32_t>(at - targets.begin());
  return at != targets.end() && *at == target;
}

LabelTranslation TargetSet::Gatherer() {
  return [this](std::uint32_t target, std::uint32_t& label) {
    label = 0;
    targets_.push_back(target);
    return targets_.size() < kMaxLabels || Compact();
  };
}

bool TargetSet::Compact() {
  std::sort(targets_.begin(), targets_.end());
  targets_.erase(std::unique(targets_.begin(), targets_.end()), targets_.end());
  if (targets_.size() > kMaxLabels / 2) tooMany_ = true;
  return !tooMany_;
}

bool TargetSet::Take(std::vector<std::uint32_t>& targets) {
  const bool fits = Compact();
  targets.swap(targets_);
  targets_.clear();
  return fits;
}
