#include "launch/process_killer.h"

#include "platform/lower_ascii.h"

bool ExecutableNameMatches(const std::wstring& exeFile, const std::wstring& name) {
  if (name.empty()) return false;
  return LowerAscii(exeFile).find(LowerAscii(name)) != std::wstring::npos;
}
