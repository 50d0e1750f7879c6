#include "platform/settings.h"

#include <windows.h>

#include "platform/paths.h"

namespace {

constexpr DWORD kValueBufferSize = 260;  // 259 characters and the terminator

}  // namespace

std::wstring SettingsFilePath() {
  return GetModuleDirectory() + L"zenquilostudent.ini";
}

std::wstring ReadSettingFromFile(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                                 const std::wstring& defaultValue) {
  wchar_t buffer[kValueBufferSize] = {};
  GetPrivateProfileStringW(section.c_str(), key.c_str(), defaultValue.c_str(), buffer, kValueBufferSize, file.c_str());
  return buffer;
}

std::wstring ReadSetting(std::wstring section, std::wstring key, std::wstring defaultValue) {
  return ReadSettingFromFile(SettingsFilePath(), section, key, defaultValue);
}
