#include "publisher/cp936_text.h"

#include <iconv.h>

#include <cerrno>

#include "platform/unique_resource.h"

namespace {

// glibc's "CP936" is Microsoft's table (0x80 is the euro sign), not plain GBK.
constexpr char kCp936[] = "CP936";
constexpr char kUtf8[] = "UTF-8";

// An iconv conversion; iconv_open gives (iconv_t)-1 for none.
struct IconvTraits {
  using Type = iconv_t;
  static Type Empty() { return reinterpret_cast<iconv_t>(-1); }
  static bool IsEmpty(Type value) { return value == reinterpret_cast<iconv_t>(-1); }
  static void Free(Type value) { iconv_close(value); }
};
using UniqueIconv = UniqueResource<IconvTraits>;

// One iconv pass over the whole input. Without //TRANSLIT or //IGNORE iconv
// stops with EILSEQ on a character the target cannot hold, which is the
// refusal we want; EINVAL (a truncated sequence) is refused as well.
bool Convert(const char* to, const char* from, const std::string& input, std::string& output) {
  UniqueIconv converter(iconv_open(to, from));
  if (!converter) return false;
  std::string result;
  std::string buffer(input.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  while (inLeft > 0) {
    char* out = &buffer[0];
    size_t outLeft = buffer.size();
    const size_t done = iconv(converter.get(), &in, &inLeft, &out, &outLeft);
    result.append(buffer.data(), buffer.size() - outLeft);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) return false;
    // iconv counts irreversible conversions in its result: none may happen.
    if (done != static_cast<size_t>(-1) && done != 0) return false;
  }
  output = result;
  return true;
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
