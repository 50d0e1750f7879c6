#include "update/delta/patch_labels.h"

#include <algorithm>
#include <utility>

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"
#include "update/delta/patch_streams.h"
#include "update/delta/x86_branches.h"
#include "update/proof/streamed_digests.h"

namespace {

BlockRewrite Rewriting(const ImageReferences& image, LabelDirection direction, LabelTranslation translate,
                       bool& failed) {
  return
      [&image, direction, translate = std::move(translate), &failed](
          unsigned char* bytes, std::uint64_t start, std::size_t size, std::uint64_t position, std::uint64_t stopAt) {
        return RewriteReferences(bytes, start, size, image, position, stopAt, direction, translate, failed);
      };
}

// The output's labels turned back as its bytes arrive in order: each
// relocated address once it is whole, then the scan over the bytes before
// the next one still to turn back, so that the scan reads the image's own
// bytes as the maker's did. Holds back the bytes not final yet.
class UnlabellingStream {
 public:
  UnlabellingStream(const ImageReferences& image, const LabelAddresses& labels)
      : image_(image),
        addressOf_([&labels](std::uint32_t label, std::uint32_t& address) { return labels.Translate(label, address); }),
        position_(FirstScanPosition(image.ranges)) {}

  // Adds size bytes (the last of the file when last); ready receives the
  // bytes that are final. False when a label is not in the table.
  bool Feed(const unsigned char* data, std::size_t size, bool last, std::vector<unsigned char>& ready) {
    pending_.insert(pending_.end(), data, data + size);
    const std::uint64_t pendingEnd = start_ + pending_.size();
    const std::vector<std::uint32_t>& sites = image_.relocations.sites;
    for (; site_ < sites.size() && SiteOffset(sites[site_]) + SiteWidth(sites[site_]) <= pendingEnd; ++site_) {
      unsigned char* at = pending_.data() + (SiteOffset(sites[site_]) - start_);
      if (!RewriteSite(at, sites[site_], image_.relocations.imageBase, LabelDirection::kToAddresses, addressOf_)) {
        return false;
      }
    }
    const std::uint64_t visibleEnd =
        site_ < sites.size() ? std::min<std::uint64_t>(pendingEnd, SiteOffset(sites[site_])) : pendingEnd;
    bool failed = false;
    position_ = ScanReferences(pending_.data(), start_, static_cast<std::size_t>(visibleEnd - start_), image_,
                               position_, kNoScanPosition, LabelDirection::kToAddresses, addressOf_, failed);
    // Bytes before the next position are final: a candidate only rewrites
    // its operand, after the bytes it was judged by.
    const std::uint64_t finalEnd = last ? pendingEnd : std::min(position_, visibleEnd);
    const std::size_t final = static_cast<std::size_t>(finalEnd - start_);
    ready.insert(ready.end(), pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(final));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(final));
    start_ += final;
    return !failed;
  }

 private:
  const ImageReferences& image_;
  LabelTranslation addressOf_;
  std::vector<unsigned char> pending_;
  std::uint64_t start_ = 0;
  std::size_t site_ = 0;
  std::uint64_t position_;
};

}  // namespace

ImageBytes FileImageBytes(std::FILE* file, std::uint64_t size) {
  return [file, size](std::uint64_t offset, std::size_t bytes, unsigned char* out) {
    return offset <= size && bytes <= size - offset && SeekWithin(file, offset) &&
           std::fread(out, 1, bytes, file) == bytes;
  };
}

DecodeResult LabelledBase::Open(const std::string& path, std::uint64_t size, std::vector<PatchRange> ranges,
                                BlockReader& reader) {
  image_.ranges = std::move(ranges);
  {
    UniqueFile file(OpenNarrowPath(path, "rb"));
    if (!file) return DecodeResult::kCannotRead;
    if (!ReadImageRelocations(FileImageBytes(file.get(), size), size, image_.relocations)) {
      return DecodeResult::kCorrupt;
    }
  }
  TargetSet gathered;
  const LabelTranslation labelOf = [this](std::uint32_t target, std::uint32_t& label) {
    return IndexOfTarget(targets_, target, label);
  };
  const std::uint64_t first = FirstScanPosition(image_.ranges);
  if (!reader.Open(path, size, first, Rewriting(image_, LabelDirection::kToLabels, gathered.Gatherer(), failed_),
                   Rewriting(image_, LabelDirection::kToLabels, labelOf, failed_))) {
    return failed_ ? DecodeResult::kCorrupt : DecodeResult::kCannotRead;
  }
  return gathered.Take(targets_) && !failed_ ? DecodeResult::kOk : DecodeResult::kCorrupt;
}

DecodeResult WriteUnlabelled(const std::string& labelledPath, std::uint64_t size, std::vector<PatchRange> ranges,
                             const LabelAddresses& labels, std::FILE* target, StreamedDigests* digests) {
  ImageReferences image;
  image.ranges = std::move(ranges);
  UniqueFile file(OpenNarrowPath(labelledPath, "rb"));
  if (!file) return DecodeResult::kCannotRead;
  // The table lies past the code, so only the whole output names the
  // addresses to turn back; a labelled output that is no image is corrupt.
  if (!ReadImageRelocations(FileImageBytes(file.get(), size), size, image.relocations) || !SeekWithin(file.get(), 0)) {
    return DecodeResult::kCorrupt;
  }
  UnlabellingStream stream(image, labels);
  std::vector<unsigned char> chunk(kBlockBytes), ready;
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockBytes, size - at));
    if (std::fread(chunk.data(), 1, take, file.get()) != take) return DecodeResult::kCannotRead;
    at += take;
    ready.clear();
    if (!stream.Feed(chunk.data(), take, at == size, ready)) return DecodeResult::kCorrupt;
    if (digests != nullptr) digests->Update(ready.data(), ready.size());
    if (std::fwrite(ready.data(), 1, ready.size(), target) != ready.size()) return DecodeResult::kCannotWrite;
  }
  return DecodeResult::kOk;
}
