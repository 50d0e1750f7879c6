#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// MD5 message digest (RFC 1321) rendered as the text that package manifests
// carry for each file: 32 upper-case hexadecimal digits, zero-padded.
// One object hashes one input: feed it with Update, then call Final once.
// Objects own no resources and share no state, so any thread may use its own.
class CMD5Checksum {
 public:
  CMD5Checksum();
  virtual ~CMD5Checksum();

  // Digest of the bytes of the file named by narrow text (code page 936 on
  // Windows); empty text when the file cannot be opened for reading. A read
  // error ends the reading: the digest then covers the bytes read before it.
  static std::string HashFile(const std::string& path);

  // Feeds length bytes; any number of calls, any lengths, including 0.
  void Update(const unsigned char* input, std::size_t length);

  // Finishes the digest and returns its text. The object is spent afterwards.
  std::string Final();

 protected:
  // Compresses one 64-byte block into the state; Update keeps the count.
  void Transform(const unsigned char block[64]);

 private:
  unsigned char buffer[64];
  std::uint32_t count[2];  // length so far in bits, low word first
  std::uint32_t state[4];  // chaining values A, B, C, D
};
