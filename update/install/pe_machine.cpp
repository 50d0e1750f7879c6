#include "update/install/pe_machine.h"

namespace {

constexpr std::size_t kNewHeaderOffsetAt = 0x3C;

std::uint32_t LittleEndianAt(const std::string& bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace

bool PeMachineOf(const std::string& head, std::uint16_t& machine) {
  if (head.size() < kNewHeaderOffsetAt + 4 || head.compare(0, 2, "MZ") != 0) return false;
  const std::uint32_t peAt = LittleEndianAt(head, kNewHeaderOffsetAt, 4);
  // Compared without adding to peAt first: a hostile offset near 2^32 must
  // not wrap around into the file.
  if (peAt > head.size() || head.size() - peAt < 6) return false;
  if (head.compare(peAt, 4, std::string("PE\0\0", 4)) != 0) return false;
  machine = static_cast<std::uint16_t>(LittleEndianAt(head, peAt + 4, 2));
  return true;
}

std::uint16_t RunningBuildMachine() {
#if defined(__x86_64__) || defined(_M_X64)
  return 0x8664;
#elif defined(__i386__) || defined(_M_IX86)
  return 0x014C;
#elif defined(__aarch64__) || defined(_M_ARM64)
  return 0xAA64;
#else
  return 0;
#endif
}
