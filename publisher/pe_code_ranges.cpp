#include "publisher/pe_code_ranges.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr std::uint32_t kCodeSection = 0x00000020;
constexpr std::uint32_t kExecutableSection = 0x20000000;
constexpr std::size_t kSectionBytes = 40;

bool Read(const std::string& image, std::uint64_t at, std::size_t bytes, std::uint32_t& value) {
  if (at > image.size() || bytes > image.size() - at) return false;
  value = static_cast<std::uint32_t>(GetLe(reinterpret_cast<const unsigned char*>(image.data()) + at, bytes));
  return true;
}

}  // namespace

bool PeCodeRanges(const std::string& image, std::vector<PatchRange>& ranges) {
  ranges.clear();
  std::uint32_t mz = 0, peAt = 0, signature = 0, machine = 0, sections = 0, optionalBytes = 0;
  if (!Read(image, 0, 2, mz) || mz != 0x5A4D || !Read(image, 0x3C, 4, peAt)) return false;
  if (!Read(image, peAt, 4, signature) || signature != 0x00004550) return false;
  if (!Read(image, peAt + 4, 2, machine) || (machine != 0x014C && machine != 0x8664)) return false;
  if (!Read(image, peAt + 6, 2, sections) || !Read(image, peAt + 20, 2, optionalBytes)) return false;
  const std::uint64_t table = std::uint64_t{peAt} + 24 + optionalBytes;
  std::vector<PatchRange> found;
  for (std::uint32_t i = 0; i < sections; ++i) {
    const std::uint64_t at = table + i * kSectionBytes;
    std::uint32_t address = 0, rawSize = 0, rawAt = 0, flags = 0;
    if (!Read(image, at + 12, 4, address) || !Read(image, at + 16, 4, rawSize) || !Read(image, at + 20, 4, rawAt) ||
        !Read(image, at + 36, 4, flags)) {
      return false;
    }
    if ((flags & (kCodeSection | kExecutableSection)) == 0 || rawSize == 0) continue;
    if (rawAt > image.size() || rawSize > image.size() - rawAt) return false;
    found.push_back({rawAt, rawAt + rawSize, address});
  }
  std::sort(found.begin(), found.end(),
            [](const PatchRange& a, const PatchRange& b) { return a.fileStart < b.fileStart; });
  for (std::size_t i = 1; i < found.size(); ++i) {
    if (found[i].fileStart < found[i - 1].fileEnd) return false;
  }
  if (found.empty() || found.size() > kMaxPatchRanges) return false;
  ranges = std::move(found);
  return true;
}
