#include "publisher/pe_code_ranges.h"

#include <algorithm>
#include <cstdint>

#include "update/delta/pe_relocations.h"

namespace {

constexpr std::uint32_t kCodeSection = 0x00000020;
constexpr std::uint32_t kExecutableSection = 0x20000000;
// The most a section count's 16 bits can say.
constexpr std::uint32_t kAnySectionCount = 0xFFFF;

}  // namespace

bool PeCodeRanges(const std::string& image, std::vector<PatchRange>& ranges) {
  ranges.clear();
  ImageHeaders headers;
  if (!ReadImageHeaders(BytesOfImage(image), kAnySectionCount, headers)) return false;
  std::vector<PatchRange> found;
  for (const ImageSection& section : headers.sections) {
    if ((section.flags & (kCodeSection | kExecutableSection)) == 0 || section.rawSize == 0) continue;
    if (section.rawAt > image.size() || section.rawSize > image.size() - section.rawAt) return false;
    found.push_back({section.rawAt, section.rawAt + section.rawSize, section.address});
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
