#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What an administrator sets for every PC by Group Policy, over the settings
// file: values under HKEY_LOCAL_MACHINE\Software\Policies\Zenquilo\ZenquiloStudent,
// read afresh at every use, like the settings file. A value that is missing,
// of another type, or not what its kind allows counts as not set; with none
// set the program behaves exactly as without policy.
//
// Text values (REG_SZ) carry the names of the settings-file keys they win
// over: URL_UPDATE_PACKAGE, URL_HOME_PACKAGE and PROXY (platform/settings.h).
// Numbers (REG_DWORD):
//   UPDATES_ENABLED  0: no update check at all, not a request leaves the PC;
//                    1: checks as usual
//   HIGHEST_VERSION  a release whose version counts as more is not taken

inline constexpr wchar_t kPolicyKeyPath[] = L"Software\\Policies\\Zenquilo\\ZenquiloStudent";
inline constexpr wchar_t kUpdatesEnabledPolicy[] = L"UPDATES_ENABLED";
inline constexpr wchar_t kHighestVersionPolicy[] = L"HIGHEST_VERSION";

// A registry value as it was read: its type and its bytes.
struct RegistryValue {
  std::uint32_t type = 0;
  std::vector<unsigned char> bytes;
};
inline constexpr std::uint32_t kRegistryText = 1;    // REG_SZ
inline constexpr std::uint32_t kRegistryNumber = 4;  // REG_DWORD, little-endian
inline constexpr std::size_t kMaxPolicyTextLength = 2047;

// The portable half: what a value read means. Pure; any thread.

// A REG_SZ's UTF-16 text up to its first NUL (the terminator the registry
// does not promise may be missing). None for another type, an odd byte count,
// empty text, text over kMaxPolicyTextLength characters, or text holding a
// control character: none of those is an address or a proxy.
std::optional<std::wstring> PolicyText(const std::optional<RegistryValue>& value);

// A REG_DWORD of exactly four bytes; none otherwise.
std::optional<std::uint32_t> PolicyNumber(const std::optional<RegistryValue>& value);

// A number 0 or 1 as false or true; none for any other value.
std::optional<bool> PolicySwitch(const std::optional<RegistryValue>& value);

// The Windows half (machine_policy_win.cpp), in the native view of the
// registry whatever the build's architecture: there Group Policy writes.

// The value named name under the policy key; none when the key or the value
// is missing, or the value is larger than a policy value may be.
std::optional<RegistryValue> ReadPolicyValue(const std::wstring& name);

// The policy's text named key where it has one, else ReadSetting of key in
// the settings file's section with defaultValue.
std::wstring ReadPolicyOrSetting(const std::wstring& key, const std::wstring& defaultValue);

// False only when UPDATES_ENABLED is 0.
bool UpdatesEnabledByPolicy();

// HIGHEST_VERSION, when set.
std::optional<std::uint32_t> HighestVersionByPolicy();
