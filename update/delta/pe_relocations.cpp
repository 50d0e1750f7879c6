#include "update/delta/pe_relocations.h"

#include <algorithm>
#include <utility>

#include "update/delta/patch_format.h"

namespace {

constexpr std::size_t kSectionBytes = 40;
constexpr std::uint32_t kMaxSections = 96;
constexpr std::uint32_t kRelocationDirectory = 5;
constexpr unsigned kHighLow = 3;
constexpr unsigned kDir64 = 10;

bool ReadValue(const ImageBytes& read, std::uint64_t at, std::size_t bytes, std::uint64_t& value) {
  unsigned char buffer[8];
  if (!read(at, bytes, buffer)) return false;
  value = GetLe(buffer, bytes);
  return true;
}

// The file offset of address rva, when a section's raw data holds it.
bool FileOffset(const std::vector<ImageSection>& sections, std::uint64_t fileSize, std::uint32_t rva,
                std::uint64_t& at) {
  for (const ImageSection& section : sections) {
    if (rva >= section.address && rva - section.address < section.rawSize) {
      at = std::uint64_t{section.rawAt} + (rva - section.address);
      return at < fileSize;
    }
  }
  return false;
}

struct Headers {
  std::uint64_t imageBase = 0;
  bool x64 = false;
  std::uint64_t tableRva = 0;
  std::uint64_t tableBytes = 0;
  std::vector<ImageSection> sections;
};

bool ReadHeaders(const ImageBytes& read, Headers& headers) {
  ImageHeaders image;
  std::uint64_t magic = 0;
  if (!ReadImageHeaders(read, kMaxSections, image)) return false;
  const std::uint64_t optional = image.optionalAt;
  if (!ReadValue(read, optional, 2, magic) || (magic != 0x10B && magic != 0x20B)) return false;
  const bool wide = magic == 0x20B;
  headers.x64 = wide;
  headers.sections = std::move(image.sections);
  std::uint64_t directories = 0;
  if (!ReadValue(read, optional + (wide ? 24 : 28), wide ? 8 : 4, headers.imageBase) ||
      !ReadValue(read, optional + (wide ? 108 : 92), 4, directories)) {
    return false;
  }
  const std::uint64_t directory = optional + (wide ? 112 : 96) + 8 * kRelocationDirectory;
  return directories <= kRelocationDirectory ||
         8 * (kRelocationDirectory + 1) + (wide ? 112 : 96) > image.optionalBytes ||
         (ReadValue(read, directory, 4, headers.tableRva) && ReadValue(read, directory + 4, 4, headers.tableBytes));
}

// The sites of the table's blocks, in table order.
bool ReadSites(const std::vector<unsigned char>& table, const std::vector<ImageSection>& sections,
               std::uint64_t fileSize, std::vector<std::uint32_t>& sites) {
  std::size_t at = 0;
  while (table.size() - at >= 8) {
    const std::uint64_t page = GetLe(&table[at], 4);
    const std::uint64_t blockBytes = GetLe(&table[at + 4], 4);
    if (blockBytes < 8 || blockBytes > table.size() - at) break;
    for (std::size_t entry = at + 8; entry + 2 <= at + blockBytes; entry += 2) {
      const unsigned value = static_cast<unsigned>(GetLe(&table[entry], 2));
      const unsigned kind = value >> 12;
      if (kind != kHighLow && kind != kDir64) continue;
      const std::size_t width = kind == kDir64 ? 8 : 4;
      std::uint64_t offset = 0;
      const std::uint32_t rva = static_cast<std::uint32_t>(page + (value & 0xFFF));
      if (!FileOffset(sections, fileSize, rva, offset) || width > fileSize - offset || offset >= kWideSite) continue;
      if (sites.size() == kMaxImageRelocations) return false;
      sites.push_back(static_cast<std::uint32_t>(offset) | (width == 8 ? kWideSite : 0));
    }
    at += static_cast<std::size_t>(blockBytes);
  }
  return true;
}

}  // namespace

ImageBytes BytesOfImage(const std::string& image) {
  return [&image](std::uint64_t offset, std::size_t size, unsigned char* out) {
    if (offset > image.size() || size > image.size() - offset) return false;
    std::copy_n(image.data() + offset, size, reinterpret_cast<char*>(out));
    return true;
  };
}

bool ReadImageHeaders(const ImageBytes& read, std::uint32_t maxSections, ImageHeaders& headers) {
  std::uint64_t mz = 0, peAt = 0, signature = 0, machine = 0, count = 0;
  if (!ReadValue(read, 0, 2, mz) || mz != 0x5A4D || !ReadValue(read, 0x3C, 4, peAt)) return false;
  if (!ReadValue(read, peAt, 4, signature) || signature != 0x00004550) return false;
  if (!ReadValue(read, peAt + 4, 2, machine) || (machine != 0x014C && machine != 0x8664)) return false;
  if (!ReadValue(read, peAt + 6, 2, count) || count > maxSections) return false;
  if (!ReadValue(read, peAt + 20, 2, headers.optionalBytes)) return false;
  headers.optionalAt = peAt + 24;
  headers.sections.clear();
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = headers.optionalAt + headers.optionalBytes + i * kSectionBytes;
    std::uint64_t address = 0, rawSize = 0, rawAt = 0, flags = 0;
    if (!ReadValue(read, at + 12, 4, address) || !ReadValue(read, at + 16, 4, rawSize) ||
        !ReadValue(read, at + 20, 4, rawAt) || !ReadValue(read, at + 36, 4, flags)) {
      return false;
    }
    headers.sections.push_back({static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(rawSize),
                                static_cast<std::uint32_t>(rawAt), static_cast<std::uint32_t>(flags)});
  }
  return true;
}

bool ReadImageRelocations(const ImageBytes& read, std::uint64_t size, ImageRelocations& relocations) {
  relocations = ImageRelocations();
  Headers headers;
  if (!ReadHeaders(read, headers)) return false;
  relocations.imageBase = headers.imageBase;
  relocations.x64 = headers.x64;
  std::uint64_t tableAt = 0;
  if (headers.tableBytes == 0) return true;
  if (!FileOffset(headers.sections, size, static_cast<std::uint32_t>(headers.tableRva), tableAt) ||
      headers.tableBytes > kMaxRelocationTableBytes || headers.tableBytes > size - tableAt) {
    return false;
  }
  std::vector<unsigned char> table(static_cast<std::size_t>(headers.tableBytes));
  if (!read(tableAt, table.size(), table.data())) return false;
  std::vector<std::uint32_t>& sites = relocations.sites;
  if (!ReadSites(table, headers.sections, size, sites)) return false;
  std::sort(sites.begin(), sites.end(), [](std::uint32_t a, std::uint32_t b) { return SiteOffset(a) < SiteOffset(b); });
  for (std::size_t i = 1; i < sites.size(); ++i) {
    if (SiteOffset(sites[i]) < SiteOffset(sites[i - 1]) + SiteWidth(sites[i - 1])) return false;
  }
  return true;
}

bool OverlapsSite(const std::vector<std::uint32_t>& sites, std::uint64_t offset, std::size_t width) {
  // The first site that starts at or after offset + width; the one before it
  // is the only one that can reach back into the range.
  const auto after = std::lower_bound(sites.begin(), sites.end(), offset + width,
                                      [](std::uint32_t site, std::uint64_t end) { return SiteOffset(site) < end; });
  if (after == sites.begin()) return false;
  const std::uint32_t before = *(after - 1);
  return SiteOffset(before) + SiteWidth(before) > offset;
}
