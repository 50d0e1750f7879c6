#include "platform/machine_identity.h"

#include <windows.h>

#include <cstdio>

#include "platform/text.h"

std::string MachineIdentity() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD nameLength = MAX_COMPUTERNAME_LENGTH + 1;
  std::string identity;
  if (GetComputerNameW(name, &nameLength)) identity = WideToNarrow(std::wstring(name, nameLength));
  identity += '/';

  // The root of the Windows directory's drive, such as "C:\".
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  DWORD serial = 0;
  if (length >= 3 && length < MAX_PATH && windows[1] == L':') {
    const wchar_t root[] = {windows[0], L':', L'\\', L'\0'};
    if (GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
      char hex[9];
      std::snprintf(hex, sizeof hex, "%08lX", static_cast<unsigned long>(serial));
      identity += hex;
    }
  }
  return identity;
}
