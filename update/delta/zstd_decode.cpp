#include "update/delta/zstd_decode.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <cstdio>
#include <vector>

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"
#include "update/proof/streamed_digests.h"

namespace {

using UniqueDContext = UniqueResource<NullableTraits<ZSTD_DCtx*, &ZSTD_freeDCtx>>;

bool ReadWhole(const std::string& path, long long maxBytes, std::string& bytes, DecodeResult& failure) {
  const long long size = NarrowFileSize(path);
  if (size < 0) {
    failure = DecodeResult::kCannotRead;
    return false;
  }
  if (size > maxBytes) {
    failure = DecodeResult::kWindowTooLarge;
    return false;
  }
  UniqueFile file(OpenNarrowPath(path, "rb"));
  if (!file) {
    failure = DecodeResult::kCannotRead;
    return false;
  }
  bytes.resize(static_cast<size_t>(size));
  if (size > 0 && std::fread(&bytes[0], 1, bytes.size(), file.get()) != bytes.size()) {
    failure = DecodeResult::kCannotRead;
    return false;
  }
  return true;
}

// One frame from source to target through context, which carries the window
// cap and, for a delta, the prefix.
DecodeResult DecodeFrame(ZSTD_DCtx* context, const std::string& sourcePath, const std::string& targetPath,
                         long long maxBytes, StreamedDigests* digests) {
  UniqueFile source(OpenNarrowPath(sourcePath, "rb"));
  if (!source) return DecodeResult::kCannotRead;
  UniqueFile target(OpenNarrowPath(targetPath, "wb"));
  if (!target) return DecodeResult::kCannotWrite;

  std::vector<char> in(ZSTD_DStreamInSize());
  std::vector<char> out(ZSTD_DStreamOutSize());
  ZSTD_inBuffer input = {in.data(), 0, 0};
  long long written = 0;
  bool inputDone = false;
  bool frameDone = false;
  for (;;) {
    if (input.pos == input.size && !inputDone) {
      const size_t got = std::fread(in.data(), 1, in.size(), source.get());
      if (got == 0) {
        if (std::ferror(source.get())) return DecodeResult::kCannotRead;
        inputDone = true;
      } else if (frameDone) {
        // Bytes after the frame's end are not part of what was published.
        return DecodeResult::kCorrupt;
      }
      input = {in.data(), got, 0};
    }
    if (frameDone) {
      if (inputDone) break;
      continue;
    }
    // With the input all read, this only drains what the decoder still holds.
    ZSTD_outBuffer output = {out.data(), out.size(), 0};
    const size_t left = ZSTD_decompressStream(context, &output, &input);
    if (ZSTD_isError(left)) {
      return ZSTD_getErrorCode(left) == ZSTD_error_frameParameter_windowTooLarge ? DecodeResult::kWindowTooLarge
                                                                                 : DecodeResult::kCorrupt;
    }
    written += static_cast<long long>(output.pos);
    if (written > maxBytes) return DecodeResult::kTooLong;
    if (output.pos > 0 && std::fwrite(out.data(), 1, output.pos, target.get()) != output.pos) {
      return DecodeResult::kCannotWrite;
    }
    if (digests != nullptr) digests->Update(out.data(), output.pos);
    if (left == 0) {
      frameDone = true;
      if (input.pos < input.size) return DecodeResult::kCorrupt;
    } else if (inputDone && output.pos == 0) {
      return DecodeResult::kCorrupt;  // truncated: more input wanted, none left
    }
  }
  if (!CloseFile(target)) return DecodeResult::kCannotWrite;
  return DecodeResult::kOk;
}

DecodeResult Decode(const std::string* basePath, const std::string& sourcePath, const std::string& targetPath,
                    long long maxBytes, int maxWindowLog, StreamedDigests* digests) {
  if (maxWindowLog > kMaxWindowLog) maxWindowLog = kMaxWindowLog;
  UniqueDContext context(ZSTD_createDCtx());
  if (!context) return DecodeResult::kCannotRead;
  ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, maxWindowLog);
  // The prefix is referenced, not copied, so the base must outlive the frame.
  std::string base;
  DecodeResult result = DecodeResult::kOk;
  if (basePath != nullptr) {
    if (!ReadWhole(*basePath, 1LL << maxWindowLog, base, result)) return result;
    if (ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), base.data(), base.size()))) return DecodeResult::kCorrupt;
  }
  if (digests != nullptr) digests->Reset();
  result = DecodeFrame(context.get(), sourcePath, targetPath, maxBytes, digests);
  // DecodeFrame has closed the target by now: Windows deletes no open file.
  if (result != DecodeResult::kOk) RemoveNarrowPath(targetPath);
  return result;
}

}  // namespace

DecodeResult DecompressFile(const std::string& sourcePath, const std::string& targetPath, long long maxBytes,
                            StreamedDigests* outputDigests) {
  return Decode(nullptr, sourcePath, targetPath, maxBytes, kMaxWindowLog, outputDigests);
}

DecodeResult ApplyDeltaFile(const std::string& basePath, const std::string& deltaPath, const std::string& targetPath,
                            long long maxBytes, int maxWindowLog, StreamedDigests* outputDigests) {
  return Decode(&basePath, deltaPath, targetPath, maxBytes, maxWindowLog, outputDigests);
}

const char* DecodeResultText(DecodeResult result) {
  switch (result) {
    case DecodeResult::kOk: return "ok";
    case DecodeResult::kCannotRead: return "cannot read";
    case DecodeResult::kCannotWrite: return "cannot write";
    case DecodeResult::kCorrupt: return "corrupt";
    case DecodeResult::kWindowTooLarge: return "window too large";
    case DecodeResult::kTooLong: return "longer than named";
  }
  return "?";
}
