// libFuzzer target for ApplyPatchFile, built natively with clang
// (tests/fuzz/CMakeLists.txt). The input's first byte says how much of the
// rest is the base; the remainder is the patch. The applier's promises are
// checked: a known result; on anything but kOk no target is left; on kOk the
// target is no longer than the cap; never a labelled output left beside it. AddressSanitizer catches any read or
// write outside a buffer; the cap keeps a hostile size from being honoured.

#include "update/delta/patch_apply.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr long long kCap = 1 << 20;

void Check(bool condition) {
  if (!condition) std::abort();
}

void Write(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr);
  Check(size == 0 || std::fwrite(data, 1, size, file) == size);
  Check(std::fclose(file) == 0);
}

long long SizeOf(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return -1;
  std::fseek(file, 0, SEEK_END);
  const long long size = std::ftell(file);
  std::fclose(file);
  return size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t baseSize = std::min<std::size_t>(data[0] * 16, size - 1);
  const std::string prefix = "patch_fuzz_" + std::to_string(getpid()) + "_";
  const std::string base = prefix + "base", patch = prefix + "patch", target = prefix + "target";
  Write(base, data + 1, baseSize);
  Write(patch, data + 1 + baseSize, size - 1 - baseSize);
  const DecodeResult result = ApplyPatchFile(base, patch, target, kCap);
  Check(DecodeResultText(result)[0] != '?');
  if (result == DecodeResult::kOk) {
    Check(SizeOf(target) >= 0 && SizeOf(target) <= kCap);
  } else {
    Check(SizeOf(target) < 0);
  }
  // A labelled patch writes its output beside the target first.
  Check(SizeOf(target + ".labelled") < 0);
  std::remove(target.c_str());
  return 0;
}
