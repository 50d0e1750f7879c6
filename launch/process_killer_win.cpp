#include "launch/process_killer.h"

#include <windows.h>
#include <tlhelp32.h>

#include "platform/unique_handle.h"

void KillProcessesByName(const std::wstring& name) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return;

  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (!ExecutableNameMatches(entry.szExeFile, name)) continue;
    // A process that is gone already, or that we may not open, is passed over.
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
    if (process.valid()) TerminateProcess(process.get(), 0);
  }
}
