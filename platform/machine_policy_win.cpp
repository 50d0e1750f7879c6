#include <windows.h>

#include "platform/machine_policy.h"
#include "platform/settings.h"
#include "platform/unique_handle.h"

namespace {

// Far above any address; a larger value is not one an administrator meant.
constexpr DWORD kMaxValueBytes = 8192;

}  // namespace

std::optional<RegistryValue> ReadPolicyValue(const std::wstring& name) {
  HKEY opened = nullptr;
  // The native view from a 32-bit build too, where Group Policy writes.
  // Windows and Wine share the Policies tree between the views anyway; asking
  // for it keeps the two builds reading one key should that ever differ.
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  const UniqueRegistryKey key(opened);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      size > kMaxValueBytes) {
    return std::nullopt;
  }
  RegistryValue value;
  value.bytes.resize(size);
  // A value rewritten larger between the two calls fails here, and counts as
  // not set this once.
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, value.bytes.data(), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.bytes.resize(size);
  value.type = type;
  return value;
}

std::wstring ReadPolicyOrSetting(const std::wstring& key, const std::wstring& defaultValue) {
  const std::optional<std::wstring> policy = PolicyText(ReadPolicyValue(key));
  return policy ? *policy : ReadSetting(kSettingsSection, key, defaultValue);
}

bool UpdatesEnabledByPolicy() {
  return PolicySwitch(ReadPolicyValue(kUpdatesEnabledPolicy)).value_or(true);
}

std::optional<std::uint32_t> HighestVersionByPolicy() {
  return PolicyNumber(ReadPolicyValue(kHighestVersionPolicy));
}
