#include "update/proof/md5_checksum.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"

namespace {

constexpr std::size_t kReadBlockSize = 1024;
// The runtime's default stream buffer is a few KiB, which costs one system
// call (and under Wine a trip through its file layer) for every few of our
// 1024-byte reads; a larger one keeps hashing, not reading, the slow part.
constexpr std::size_t kStreamBufferSize = 64 * 1024;

inline std::uint32_t LoadLittleEndian(const unsigned char* bytes) {
  std::uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap32(word);
#endif
  return word;
}

inline void StoreLittleEndian(std::uint32_t word, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(word);
  bytes[1] = static_cast<unsigned char>(word >> 8);
  bytes[2] = static_cast<unsigned char>(word >> 16);
  bytes[3] = static_cast<unsigned char>(word >> 24);
}

inline std::uint32_t RotateLeft(std::uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// The round functions of RFC 1321 in equivalent forms with fewer operations.
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return z ^ (x & (y ^ z));
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return x ^ y ^ z;
}
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return y ^ (x | ~z);
}

// One step a = b + ((a + f(b, c, d) + word + constant) <<< s). The word and
// constant are added first: they do not depend on the previous step, so the
// processor adds them while that step is still being computed.
#define MD5_STEP(f, a, b, c, d, word, constant, s) \
  do {                                             \
    (a) += (word) + (constant);                    \
    (a) += f((b), (c), (d));                       \
    (a) = RotateLeft((a), (s)) + (b);              \
  } while (0)

// G(b, c, d) = (b & d) | (c & ~d): the two halves share no bits, so they may
// be added one at a time, and the second does not wait for the first.
#define MD5_STEP_G(a, b, c, d, word, constant, s) \
  do {                                            \
    (a) += (word) + (constant);                   \
    (a) += (c) & ~(d);                            \
    (a) += (b) & (d);                             \
    (a) = RotateLeft((a), (s)) + (b);             \
  } while (0)

}  // namespace

CMD5Checksum::CMD5Checksum() : buffer{}, count{0, 0}, state{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476} {}

CMD5Checksum::~CMD5Checksum() = default;

std::string CMD5Checksum::HashFile(const std::string& path) {
  // Declared before the stream so that it outlives it.
  const std::unique_ptr<char[]> streamBuffer(new char[kStreamBufferSize]);
  UniqueFile file(OpenNarrowPath(path, "rb"));
  if (!file) return std::string();
  std::setvbuf(file.get(), streamBuffer.get(), _IOFBF, kStreamBufferSize);

  CMD5Checksum checksum;
  unsigned char block[kReadBlockSize];
  for (;;) {
    const std::size_t got = std::fread(block, 1, sizeof block, file.get());
    if (got == 0) break;
    checksum.Update(block, got);
    if (got < sizeof block) break;
  }
  return checksum.Final();
}

void CMD5Checksum::Update(const unsigned char* input, std::size_t length) {
  std::size_t index = (count[0] >> 3) & 0x3F;

  // The bit count is the input's length modulo 2^64 (RFC 1321). Done in 64
  // bits, so that lengths of 512 MiB and more carry into the high word in full.
  const std::uint64_t bits =
      ((static_cast<std::uint64_t>(count[1]) << 32) | count[0]) + (static_cast<std::uint64_t>(length) << 3);
  count[0] = static_cast<std::uint32_t>(bits);
  count[1] = static_cast<std::uint32_t>(bits >> 32);

  const std::size_t partLength = 64 - index;
  std::size_t i = 0;
  if (length >= partLength) {
    std::memcpy(&buffer[index], input, partLength);
    Transform(buffer);
    // Whole blocks go straight from the caller's bytes, without a copy.
    for (i = partLength; i + 64 <= length; i += 64) Transform(&input[i]);
    index = 0;
  }
  if (i < length) std::memcpy(&buffer[index], &input[i], length - i);
}

std::string CMD5Checksum::Final() {
  unsigned char bitCount[8];
  StoreLittleEndian(count[0], &bitCount[0]);
  StoreLittleEndian(count[1], &bitCount[4]);

  static const unsigned char kPadding[64] = {0x80};
  const std::size_t index = (count[0] >> 3) & 0x3F;
  const std::size_t padLength = index < 56 ? 56 - index : 120 - index;
  Update(kPadding, padLength);
  Update(bitCount, sizeof bitCount);

  unsigned char digest[16];
  for (int i = 0; i < 4; ++i) StoreLittleEndian(state[i], &digest[4 * i]);

  static const char kHexDigits[] = "0123456789ABCDEF";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kHexDigits[digest[i] >> 4];
    text[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
  }
  return text;
}

void CMD5Checksum::Transform(const unsigned char block[64]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(&block[4 * i]);

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  MD5_STEP(F, a, b, c, d, x[0], 0xD76AA478, 7);
  MD5_STEP(F, d, a, b, c, x[1], 0xE8C7B756, 12);
  MD5_STEP(F, c, d, a, b, x[2], 0x242070DB, 17);
  MD5_STEP(F, b, c, d, a, x[3], 0xC1BDCEEE, 22);
  MD5_STEP(F, a, b, c, d, x[4], 0xF57C0FAF, 7);
  MD5_STEP(F, d, a, b, c, x[5], 0x4787C62A, 12);
  MD5_STEP(F, c, d, a, b, x[6], 0xA8304613, 17);
  MD5_STEP(F, b, c, d, a, x[7], 0xFD469501, 22);
  MD5_STEP(F, a, b, c, d, x[8], 0x698098D8, 7);
  MD5_STEP(F, d, a, b, c, x[9], 0x8B44F7AF, 12);
  MD5_STEP(F, c, d, a, b, x[10], 0xFFFF5BB1, 17);
  MD5_STEP(F, b, c, d, a, x[11], 0x895CD7BE, 22);
  MD5_STEP(F, a, b, c, d, x[12], 0x6B901122, 7);
  MD5_STEP(F, d, a, b, c, x[13], 0xFD987193, 12);
  MD5_STEP(F, c, d, a, b, x[14], 0xA679438E, 17);
  MD5_STEP(F, b, c, d, a, x[15], 0x49B40821, 22);

  MD5_STEP_G(a, b, c, d, x[1], 0xF61E2562, 5);
  MD5_STEP_G(d, a, b, c, x[6], 0xC040B340, 9);
  MD5_STEP_G(c, d, a, b, x[11], 0x265E5A51, 14);
  MD5_STEP_G(b, c, d, a, x[0], 0xE9B6C7AA, 20);
  MD5_STEP_G(a, b, c, d, x[5], 0xD62F105D, 5);
  MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
  MD5_STEP_G(c, d, a, b, x[15], 0xD8A1E681, 14);
  MD5_STEP_G(b, c, d, a, x[4], 0xE7D3FBC8, 20);
  MD5_STEP_G(a, b, c, d, x[9], 0x21E1CDE6, 5);
  MD5_STEP_G(d, a, b, c, x[14], 0xC33707D6, 9);
  MD5_STEP_G(c, d, a, b, x[3], 0xF4D50D87, 14);
  MD5_STEP_G(b, c, d, a, x[8], 0x455A14ED, 20);
  MD5_STEP_G(a, b, c, d, x[13], 0xA9E3E905, 5);
  MD5_STEP_G(d, a, b, c, x[2], 0xFCEFA3F8, 9);
  MD5_STEP_G(c, d, a, b, x[7], 0x676F02D9, 14);
  MD5_STEP_G(b, c, d, a, x[12], 0x8D2A4C8A, 20);

  MD5_STEP(H, a, b, c, d, x[5], 0xFFFA3942, 4);
  MD5_STEP(H, d, a, b, c, x[8], 0x8771F681, 11);
  MD5_STEP(H, c, d, a, b, x[11], 0x6D9D6122, 16);
  MD5_STEP(H, b, c, d, a, x[14], 0xFDE5380C, 23);
  MD5_STEP(H, a, b, c, d, x[1], 0xA4BEEA44, 4);
  MD5_STEP(H, d, a, b, c, x[4], 0x4BDECFA9, 11);
  MD5_STEP(H, c, d, a, b, x[7], 0xF6BB4B60, 16);
  MD5_STEP(H, b, c, d, a, x[10], 0xBEBFBC70, 23);
  MD5_STEP(H, a, b, c, d, x[13], 0x289B7EC6, 4);
  MD5_STEP(H, d, a, b, c, x[0], 0xEAA127FA, 11);
  MD5_STEP(H, c, d, a, b, x[3], 0xD4EF3085, 16);
  MD5_STEP(H, b, c, d, a, x[6], 0x04881D05, 23);
  MD5_STEP(H, a, b, c, d, x[9], 0xD9D4D039, 4);
  MD5_STEP(H, d, a, b, c, x[12], 0xE6DB99E5, 11);
  MD5_STEP(H, c, d, a, b, x[15], 0x1FA27CF8, 16);
  MD5_STEP(H, b, c, d, a, x[2], 0xC4AC5665, 23);

  MD5_STEP(I, a, b, c, d, x[0], 0xF4292244, 6);
  MD5_STEP(I, d, a, b, c, x[7], 0x432AFF97, 10);
  MD5_STEP(I, c, d, a, b, x[14], 0xAB9423A7, 15);
  MD5_STEP(I, b, c, d, a, x[5], 0xFC93A039, 21);
  MD5_STEP(I, a, b, c, d, x[12], 0x655B59C3, 6);
  MD5_STEP(I, d, a, b, c, x[3], 0x8F0CCC92, 10);
  MD5_STEP(I, c, d, a, b, x[10], 0xFFEFF47D, 15);
  MD5_STEP(I, b, c, d, a, x[1], 0x85845DD1, 21);
  MD5_STEP(I, a, b, c, d, x[8], 0x6FA87E4F, 6);
  MD5_STEP(I, d, a, b, c, x[15], 0xFE2CE6E0, 10);
  MD5_STEP(I, c, d, a, b, x[6], 0xA3014314, 15);
  MD5_STEP(I, b, c, d, a, x[13], 0x4E0811A1, 21);
  MD5_STEP(I, a, b, c, d, x[4], 0xF7537E82, 6);
  MD5_STEP(I, d, a, b, c, x[11], 0xBD3AF235, 10);
  MD5_STEP(I, c, d, a, b, x[2], 0x2AD7D2BB, 15);
  MD5_STEP(I, b, c, d, a, x[9], 0xEB86D391, 21);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}
