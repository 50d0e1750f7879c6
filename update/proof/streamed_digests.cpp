#include "update/proof/streamed_digests.h"

#include <cstdio>
#include <vector>

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"

void StreamedDigests::Reset() {
  md5_ = std::make_unique<CMD5Checksum>();
  if (withSha256_) sha256_ = std::make_unique<Sha256Digest>();
}

void StreamedDigests::Update(const void* data, std::size_t length) {
  md5_->Update(static_cast<const unsigned char*>(data), length);
  if (sha256_) sha256_->Update(data, length);
}

bool StreamedDigests::UpdateFromFile(const std::string& path, long long length) {
  const UniqueFile file(OpenNarrowPath(path, "rb"));
  if (!file) return length == 0;
  std::vector<unsigned char> buffer(64 * 1024);
  while (length > 0) {
    const std::size_t want =
        length < static_cast<long long>(buffer.size()) ? static_cast<std::size_t>(length) : buffer.size();
    const std::size_t got = std::fread(buffer.data(), 1, want, file.get());
    if (got == 0) break;
    Update(buffer.data(), got);
    length -= static_cast<long long>(got);
  }
  return length == 0;
}

FileDigestTexts StreamedDigests::Finish() {
  FileDigestTexts texts{md5_->Final(), sha256_ ? sha256_->FinalHex() : std::string()};
  Reset();
  return texts;
}
