#include "launch/home_shell.h"

#include <windows.h>
#include <shellapi.h>

#include "launch/process_killer.h"
#include "platform/machine_policy.h"
#include "platform/paths.h"
#include "platform/settings.h"

void LaunchHomeShell() {
  KillProcessesByName(kLearningShellName);

  const std::wstring directory = GetModuleDirectory();
  const std::wstring executable = directory + kLearningShellName;
  const std::wstring address = ReadPolicyOrSetting(kHomeUrlKey, kDefaultHomeUrl);
  const std::wstring parameters = BuildHomeShellParameters(address, GetShortPath(directory));

  // No working directory: the shell inherits ours. Nothing waits for it.
  ShellExecuteW(nullptr, L"open", executable.c_str(), parameters.c_str(), nullptr, SW_SHOWNORMAL);
}
