#include "platform/machine_policy.h"

std::optional<std::wstring> PolicyText(const std::optional<RegistryValue>& value) {
  if (!value || value->type != kRegistryText || value->bytes.size() % 2 != 0) return std::nullopt;
  std::wstring text;
  for (std::size_t at = 0; at < value->bytes.size(); at += 2) {
    const wchar_t unit = static_cast<wchar_t>(value->bytes[at] | (value->bytes[at + 1] << 8));
    if (unit == L'\0') break;
    if (unit < 0x20 || unit == 0x7F) return std::nullopt;
    text.push_back(unit);
  }
  if (text.empty() || text.size() > kMaxPolicyTextLength) return std::nullopt;
  return text;
}

std::optional<std::uint32_t> PolicyNumber(const std::optional<RegistryValue>& value) {
  if (!value || value->type != kRegistryNumber || value->bytes.size() != 4) return std::nullopt;
  const std::vector<unsigned char>& b = value->bytes;
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::optional<bool> PolicySwitch(const std::optional<RegistryValue>& value) {
  const std::optional<std::uint32_t> number = PolicyNumber(value);
  if (!number || *number > 1) return std::nullopt;
  return *number == 1;
}
