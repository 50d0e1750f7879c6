#include "launch/home_shell.h"

namespace {

constexpr wchar_t kUrlSwitch[] = L" --url=";
constexpr wchar_t kHomeSwitches[] = L"  --enable-media-stream --enable-file-cookies --cache-path=\"";
constexpr wchar_t kHomeCacheDirectory[] = L"cache\\sc\"";

}  // namespace

std::wstring BuildHomeShellParameters(const std::wstring& homeAddress, const std::wstring& shortModuleDirectory) {
  // The address comes from the settings file that the installer and the
  // administrator own; it is passed on as it stands.
  return kUrlSwitch + homeAddress + kHomeSwitches + shortModuleDirectory + kHomeCacheDirectory;
}
