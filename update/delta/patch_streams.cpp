#include "update/delta/patch_streams.h"

#include <zstd_errors.h>

#include <algorithm>
#include <cstring>

#include "platform/narrow_file.h"
#include "update/delta/patch_format.h"

namespace {

constexpr std::size_t kOutBuffer = 16 * 1024;

}  // namespace

bool SeekWithin(std::FILE* file, std::uint64_t offset) {
  return offset <= 0x7fffffffULL && std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0;
}

bool FrameReader::Open(const std::string& path, std::uint64_t offset, std::uint64_t length) {
  file_.Reset(OpenNarrowPath(path, "rb"));
  context_.Reset(ZSTD_createDCtx());
  if (!file_ || !context_ || !SeekWithin(file_.get(), offset)) return false;
  ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax, kPatchStreamWindowLog);
  in_.resize(ZSTD_DStreamInSize());
  out_.resize(kOutBuffer);
  left_ = length;
  return true;
}

bool FrameReader::Read(unsigned char* out, std::size_t size) {
  while (size > 0) {
    if (outAt_ == outEnd_ && !Fill()) return false;
    const std::size_t take = std::min(size, outEnd_ - outAt_);
    std::memcpy(out, out_.data() + outAt_, take);
    outAt_ += take;
    out += take;
    size -= take;
  }
  return true;
}

bool FrameReader::AtEnd() {
  if (outAt_ != outEnd_) return false;
  unsigned char extra = 0;
  ZSTD_outBuffer output = {&extra, 1, 0};
  while (!frameDone_) {
    if (!Step(output) || output.pos != 0) return false;
  }
  return input_.pos == input_.size && left_ == 0;
}

bool FrameReader::Fill() {
  ZSTD_outBuffer output = {out_.data(), out_.size(), 0};
  while (output.pos == 0) {
    if (!Step(output)) return false;
    if (frameDone_ && output.pos == 0) return false;
  }
  outAt_ = 0;
  outEnd_ = output.pos;
  return true;
}

// One call of the decoder; false when it fails or can make no progress.
bool FrameReader::Step(ZSTD_outBuffer& output) {
  if (frameDone_) return false;
  if (input_.pos == input_.size && left_ > 0) {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(left_, in_.size()));
    if (std::fread(in_.data(), 1, size, file_.get()) != size) return false;
    input_ = {in_.data(), size, 0};
    left_ -= size;
  }
  const std::size_t outBefore = output.pos;
  const std::size_t inBefore = input_.pos;
  const std::size_t hint = ZSTD_decompressStream(context_.get(), &output, &input_);
  if (ZSTD_isError(hint)) {
    windowTooLarge_ = ZSTD_getErrorCode(hint) == ZSTD_error_frameParameter_windowTooLarge;
    return false;
  }
  if (hint == 0) {
    frameDone_ = true;
    return true;
  }
  // Truncated: the decoder wants more than the stream's length holds.
  const bool starved = input_.pos == input_.size && left_ == 0;
  return !(starved && output.pos == outBefore && input_.pos == inBefore);
}

// Takes the next run and value; the run must stay within the limit and the
// value may not be zero, so that every sequence has one encoding.
bool DiffReader::Next() {
  std::uint64_t run = 0;
  for (std::size_t i = 0;; ++i) {
    unsigned char byte = 0;
    if (i == kMaxRunBytes || !runs.Read(&byte, 1)) return false;
    run |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) break;
  }
  if (run > limit_ || !values.Read(&value_, 1) || value_ == 0) return false;
  zeros_ = run;
  held_ = true;
  --left_;
  return true;
}

bool DiffReader::Read(unsigned char* out, std::size_t size) {
  while (size > 0) {
    if (!held_) {
      if (left_ == 0) {
        std::memset(out, 0, size);  // past the last value, every diff byte is zero
        return true;
      }
      if (!Next()) return false;
    }
    const std::size_t zeros = static_cast<std::size_t>(std::min<std::uint64_t>(zeros_, size));
    std::memset(out, 0, zeros);
    out += zeros;
    size -= zeros;
    zeros_ -= zeros;
    if (zeros_ == 0 && size > 0) {
      *out++ = value_;
      --size;
      held_ = false;
    }
  }
  return true;
}
