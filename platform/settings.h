#pragma once

#include <string>

#include "build_config.h"

// The two addresses kept outside the code, and the download stall limit, in
// "zenquilostudent.ini" beside the executable, section "global". The file is only read, afresh at every call, so
// an edited file takes effect at the next read; without it the defaults stand.
// Group Policy's value of the same name, where one is set, wins over the
// file's for the addresses and PROXY (platform/machine_policy.h).

inline constexpr wchar_t kSettingsSection[] = L"global";
inline constexpr wchar_t kUpdateUrlKey[] = L"URL_UPDATE_PACKAGE";
inline constexpr wchar_t kHomeUrlKey[] = L"URL_HOME_PACKAGE";
// Seconds a file download may move less than a byte a second before it is
// cut off and tried again; see update/transfer/resumable_download.h.
inline constexpr wchar_t kStallSecondsKey[] = L"DOWNLOAD_STALL_SECONDS";
// How many files of an update may be on their way at once; see
// update/incremental_update.h.
inline constexpr wchar_t kParallelDownloadsKey[] = L"PARALLEL_DOWNLOADS";
// The proxy for every request of the updater, over whatever Windows says: an
// address ("host:port") or DIRECT; see update/transfer/proxy_route.h.
inline constexpr wchar_t kProxyKey[] = L"PROXY";
inline constexpr wchar_t kDefaultUpdateUrl[] = L"" ZQ_DEFAULT_UPDATE_URL;
inline constexpr wchar_t kDefaultHomeUrl[] = L"" ZQ_DEFAULT_HOME_URL;

// The module directory followed by "zenquilostudent.ini".
std::wstring SettingsFilePath();

// The value of key in section of the settings file, at most 259 characters,
// exactly as GetPrivateProfileStringW gives it; defaultValue when the file, the
// section or the key is missing. A key with an empty value gives empty text.
std::wstring ReadSetting(std::wstring section, std::wstring key, std::wstring defaultValue);

// The same read from a named file.
std::wstring ReadSettingFromFile(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                                 const std::wstring& defaultValue);
