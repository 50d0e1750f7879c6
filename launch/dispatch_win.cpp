#include "launch/dispatch.h"

#include <windows.h>
#include <shellapi.h>

#include "launch/home_shell.h"
#include "launch/process_killer.h"
#include "platform/paths.h"

void DispatchCommandLine(std::wstring commandLine) {
  switch (ClassifyCommandLine(commandLine)) {
    case DispatchAction::kNothing: return;
    case DispatchAction::kOpenHomeShell: LaunchHomeShell(); return;
    case DispatchAction::kTerminateLiveShell: KillProcessesByName(kLiveShellName); return;
    case DispatchAction::kOpenLiveShell: {
      KillProcessesByName(kLiveShellName);
      const std::wstring directory = GetModuleDirectory();
      const std::wstring executable = directory + kLiveShellName;
      const std::wstring parameters = BuildLiveShellParameters(commandLine, GetShortPath(directory));
      ShellExecuteW(nullptr, L"open", executable.c_str(), parameters.c_str(), nullptr, SW_SHOWNORMAL);
      return;
    }
  }
}
