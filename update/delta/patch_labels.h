#pragma once

// The client's side of a labelled patch (patch_format.h, version 2): the
// base read with its references turned to the labels the maker gave them,
// and the output's labels turned back into addresses once it is whole.
// Memory: 4 bytes per relocated address and per distinct target of the
// base, at most 2 MiB each, and 4 MiB while the targets are gathered; the
// output's table (label_table.h) and its relocated addresses, 6 MiB at most.
// Any thread; paths are narrow text (code page 936 on Windows).

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "update/delta/block_reader.h"
#include "update/delta/label_table.h"
#include "update/delta/reference_labels.h"
#include "update/delta/zstd_decode.h"

class StreamedDigests;

// Reads a file of size bytes through callbacks, for ReadImageRelocations.
ImageBytes FileImageBytes(std::FILE* file, std::uint64_t size);

class LabelledBase {
 public:
  // Opens reader over the base at path, its code in ranges. kCorrupt when
  // the base is not an image a labelled patch can be made of (the maker
  // would have made none); kCannotRead when it cannot be read.
  DecodeResult Open(const std::string& path, std::uint64_t size, std::vector<PatchRange> ranges, BlockReader& reader);
  const std::vector<std::uint32_t>& targets() const { return targets_; }
  // Whether a block read has held a reference that was not gathered.
  bool failed() const { return failed_; }

 private:
  ImageReferences image_;
  std::vector<std::uint32_t> targets_;
  bool failed_ = false;
};

// Writes the output held at labelledPath (size bytes, code in ranges, its
// references as labels) into target with its addresses, feeding digests
// when not null. kCorrupt when a label is not in labels.
DecodeResult WriteUnlabelled(const std::string& labelledPath, std::uint64_t size, std::vector<PatchRange> ranges,
                             const LabelAddresses& labels, std::FILE* target, StreamedDigests* digests);
