#include "publisher/cp936_text.h"

#include <iconv.h>

#include <cerrno>

namespace {

// glibc's "CP936" is Microsoft's table (0x80 is the euro sign), not plain GBK.
constexpr char kCp936[] = "CP936";
constexpr char kUtf8[] = "UTF-8";

// One iconv pass over the whole input. Without //TRANSLIT or //IGNORE iconv
// stops with EILSEQ on a character the target cannot hold, which is the
// refusal we want; EINVAL (a truncated sequence) is refused as well.
bool Convert(const char* to, const char* from, const std::string& input, std::string& output) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string result;
  std::string buffer(input.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  bool ok = true;
  while (inLeft > 0) {
    char* out = &buffer[0];
    size_t outLeft = buffer.size();
    const size_t done = iconv(converter, &in, &inLeft, &out, &outLeft);
    result.append(buffer.data(), buffer.size() - outLeft);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
    // iconv counts irreversible conversions in its result: none may happen.
    if (done != static_cast<size_t>(-1) && done != 0) {
      ok = false;
      break;
    }
  }
  iconv_close(converter);
  if (ok) output = result;
  return ok;
}

}  // namespace

bool Utf8ToCp936(const std::string& utf8, std::string& cp936) {
  std::string narrow;
  std::string back;
  if (!Convert(kCp936, kUtf8, utf8, narrow)) return false;
  // A name must come back to itself, or the client would see another name.
  if (!Convert(kUtf8, kCp936, narrow, back) || back != utf8) return false;
  cp936 = narrow;
  return true;
}

bool Cp936ToUtf8(const std::string& cp936, std::string& utf8) {
  return Convert(kUtf8, kCp936, cp936, utf8);
}
