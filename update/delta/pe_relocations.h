#pragma once

// Where a Windows program image (x86 or x86-64) holds absolute addresses:
// the sites its base relocation table lists (HIGHLOW, 4 bytes; DIR64, 8
// bytes), as file offsets. A relink moves most of what they point at, so the
// patch maker names their targets by labels (reference_labels.h). The image
// is read through a callback so that the publisher can pass bytes in memory
// and the client a file it reads as needed. Values only; any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Reads size bytes at offset of the image into out; false when they are not all there.
using ImageBytes = std::function<bool(std::uint64_t offset, std::size_t size, unsigned char* out)>;

// An image held in memory, read through the callback (image must outlive it).
ImageBytes BytesOfImage(const std::string& image);

// A section: the address it loads at, its raw data in the file, its flags.
struct ImageSection {
  std::uint32_t address = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t rawAt = 0;
  std::uint32_t flags = 0;
};

// What every reading of an image starts from: where its optional header
// lies and how long it is, and its section table.
struct ImageHeaders {
  std::uint64_t optionalAt = 0;
  std::uint64_t optionalBytes = 0;
  std::vector<ImageSection> sections;
};

// True with headers set when the image is a PE image for x86 or x86-64 (MZ,
// "PE", the machine) with at most maxSections sections, all of whose table
// entries can be read; false for anything else.
bool ReadImageHeaders(const ImageBytes& read, std::uint32_t maxSections, ImageHeaders& headers);

// The most sites an image may list, and the largest table read: enough for
// programs many times our size, and a bound on what a client holds.
inline constexpr std::size_t kMaxImageRelocations = std::size_t{1} << 19;
inline constexpr std::uint32_t kMaxRelocationTableBytes = 4u << 20;

// A site is its file offset, with this bit set for an 8-byte address.
inline constexpr std::uint32_t kWideSite = 0x80000000u;
inline std::uint32_t SiteOffset(std::uint32_t site) {
  return site & ~kWideSite;
}
inline std::size_t SiteWidth(std::uint32_t site) {
  return (site & kWideSite) != 0 ? 8 : 4;
}

struct ImageRelocations {
  std::uint64_t imageBase = 0;
  // An x86-64 image (PE32+), whose code addresses data relative to itself.
  bool x64 = false;
  // Sorted by offset and disjoint.
  std::vector<std::uint32_t> sites;
};

// True with relocations set when the image of size bytes is a PE image for
// x86 or x86-64 whose headers can be read; an image without a table has no
// sites, and entries that name no bytes of the file are passed over. False
// for anything else, for a table not whole in the file or past the bounds
// above, and for one whose sites overlap, which no linker writes.
bool ReadImageRelocations(const ImageBytes& read, std::uint64_t size, ImageRelocations& relocations);

// Whether [offset, offset + width) shares a byte with a site.
bool OverlapsSite(const std::vector<std::uint32_t>& sites, std::uint64_t offset, std::size_t width);
