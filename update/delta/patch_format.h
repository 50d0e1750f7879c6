#pragma once

// The layout of a patch, our delta form of approximate matches, shared by the
// publisher that writes it and the client that applies it. Little-endian
// throughout.
//
//   header  magic "ZQPD", version, the counts of the base's and the output's
//           code ranges, one zero byte; the base's size, the output's size,
//           the count of diff bytes that are not zero, and the compressed
//           lengths of the four streams (u64 each); version 2 adds the count
//           of the output's labels and the length of a fifth stream
//   ranges  the code ranges of the base, then of the output (PatchRange)
//   streams four zstd frames (five in version 2), back to back, filling the
//           file exactly:
//           control  records of (copy, insert, seek), kControlRecordBytes each
//           runs     for each diff byte that is not zero, how many zero ones
//                    come before it (LEB128, at most kMaxRunBytes bytes)
//           values   the diff bytes that are not zero
//           extra    for each insert, the new bytes
//           labels   version 2: the output's label table (label_table.h)
//
// A record copies `copy` bytes of the base from the read position, each plus
// its diff byte, then writes `insert` bytes of the extra stream, then moves
// the read position by `seek` (signed), which must stay within the base.
// The diff bytes of all copies form one sequence, mostly zeros; after the
// last one that is not zero, the rest are zeros. Split into runs and values,
// it compresses to about two thirds of the raw sequence.
//
// Code ranges are where x86 branch operands were rewritten before matching:
// in version 1 to absolute addresses (x86_branches.h), in version 2 to
// labels, together with the addresses of the images' relocation tables
// (reference_labels.h). The base's are rewritten as it is read, the output's
// are undone as it is written (version 1) or once it is whole (version 2,
// whose relocation table comes last). No range is a plain patch. Version 2
// is listed where only clients that apply it look. Any thread.

#include <cstddef>
#include <cstdint>

inline constexpr char kPatchMagic[4] = {'Z', 'Q', 'P', 'D'};
inline constexpr std::uint8_t kPatchVersion = 1;
inline constexpr std::uint8_t kLabelledPatchVersion = 2;
inline constexpr std::size_t kPatchHeaderBytes = 64;
inline constexpr std::size_t kLabelledPatchHeaderBytes = 80;
inline constexpr int kPatchStreams = 4;
inline constexpr int kLabelledPatchStreams = 5;
inline constexpr std::size_t kMaxRunBytes = 10;
inline constexpr std::size_t kPatchRangeBytes = 12;
inline constexpr std::size_t kControlRecordBytes = 24;

// A program image has a handful of executable sections; more is not one of ours.
inline constexpr std::size_t kMaxPatchRanges = 16;

// The window each stream's frame may need: four of them stay within 16 MiB
// of the client's memory however large the file (the fifth is read whole
// before the others start).
inline constexpr int kPatchStreamWindowLog = 22;

// File offsets [fileStart, fileEnd) of an executable section, whose first
// byte is loaded at address rvaStart.
struct PatchRange {
  std::uint32_t fileStart = 0;
  std::uint32_t fileEnd = 0;
  std::uint32_t rvaStart = 0;
};

inline void PutLe(unsigned char* out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint64_t GetLe(const unsigned char* in, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
  return value;
}
