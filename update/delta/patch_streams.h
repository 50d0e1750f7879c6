#pragma once

// Reading a patch's streams (patch_format.h): each a zstd frame within the
// patch file, decoded on demand with a bounded window, and the diff bytes
// rebuilt from their runs and values. Every read checks what the stream
// holds; nothing is sized by what it claims. Any thread.

#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/unique_resource.h"

using UniqueDContext = UniqueResource<NullableTraits<ZSTD_DCtx*, &ZSTD_freeDCtx>>;

// Seeks within files that are at most kUnnamedSizeCap long, which fit a long.
bool SeekWithin(std::FILE* file, std::uint64_t offset);

// One stream: the zstd frame that fills [offset, offset + length) of the patch.
class FrameReader {
 public:
  bool Open(const std::string& path, std::uint64_t offset, std::uint64_t length);
  // Exactly size bytes, or false: the frame is corrupt, ends first or cannot be read.
  bool Read(unsigned char* out, std::size_t size);
  // Whether the frame ends here, with no byte left in it nor after it.
  bool AtEnd();
  bool WindowTooLarge() const { return windowTooLarge_; }

 private:
  bool Fill();
  bool Step(ZSTD_outBuffer& output);

  UniqueFile file_;
  UniqueDContext context_;
  std::vector<char> in_;
  ZSTD_inBuffer input_ = {nullptr, 0, 0};
  std::uint64_t left_ = 0;
  std::vector<unsigned char> out_;
  std::size_t outAt_ = 0;
  std::size_t outEnd_ = 0;
  bool frameDone_ = false;
  bool windowTooLarge_ = false;
};

// The diff bytes of all copies, one sequence, from the runs and values streams.
class DiffReader {
 public:
  FrameReader runs;
  FrameReader values;

  // count values in all; no run may pass limit.
  void Expect(std::uint64_t count, std::uint64_t limit) {
    left_ = count;
    limit_ = limit;
  }
  // The next size diff bytes, or false when the streams say otherwise.
  bool Read(unsigned char* out, std::size_t size);
  // Whether every value was used and both streams end here.
  bool AtEnd() { return left_ == 0 && !held_ && runs.AtEnd() && values.AtEnd(); }

 private:
  bool Next();

  std::uint64_t left_ = 0;
  std::uint64_t limit_ = 0;
  std::uint64_t zeros_ = 0;
  unsigned char value_ = 0;
  bool held_ = false;
};
