#include "publisher/zstd_encode.h"

#include <zstd.h>

#include <algorithm>

#include "platform/unique_resource.h"
#include "update/delta/zstd_decode.h"

namespace {

using UniqueCompressContext = UniqueResource<NullableTraits<ZSTD_CCtx*, &ZSTD_freeCCtx>>;

// Large inputs find their repeats further apart than the level's own search.
constexpr long long kLongMatchingFrom = 8LL << 20;

bool Compress(const std::string* base, const std::string& bytes, int level, std::string& frame, int& windowLog) {
  const long long baseSize = base != nullptr ? static_cast<long long>(base->size()) : 0;
  const long long larger = std::max(baseSize, static_cast<long long>(bytes.size()));
  if (base == nullptr) {
    // A copy decodes with any window; a smaller one than the file only finds fewer repeats.
    windowLog = std::min(WindowLogFor(larger), kMaxWindowLog);
  } else {
    windowLog = DeltaWindowLog(baseSize, static_cast<long long>(bytes.size()));
    if (windowLog > kMaxWindowLog) return false;
  }
  UniqueCompressContext context(ZSTD_createCCtx());
  if (!context) return false;
  ZSTD_CCtx* c = context.get();
  if (ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1))) {
    return false;
  }
  if (larger >= kLongMatchingFrom && ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1))) {
    return false;
  }
  // Workers only where the library has them; a single thread makes the same format.
  ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, 2);
  if (base != nullptr && ZSTD_isError(ZSTD_CCtx_refPrefix(c, base->data(), base->size()))) return false;
  frame.resize(ZSTD_compressBound(bytes.size()));
  const size_t size = ZSTD_compress2(c, &frame[0], frame.size(), bytes.data(), bytes.size());
  if (ZSTD_isError(size)) return false;
  frame.resize(size);
  return true;
}

}  // namespace

int WindowLogFor(long long largerSize) {
  int log = 10;  // zstd's smallest window
  while (log < 62 && (1LL << log) < largerSize) ++log;
  return log;
}

int DeltaWindowLog(long long baseSize, long long targetSize) {
  // The new file's bytes match the base's about one base length back, a
  // little more after insertions: twice the larger file reaches them all.
  return WindowLogFor(std::max(baseSize, targetSize)) + 1;
}

bool CompressForServing(const std::string& bytes, int level, std::string& frame, int& windowLog) {
  return Compress(nullptr, bytes, level, frame, windowLog);
}

bool MakeDelta(const std::string& base, const std::string& target, int level, std::string& frame, int& windowLog) {
  return Compress(&base, target, level, frame, windowLog);
}
