#pragma once

#include <string>

// Ending the shells by executable name.

// True when name occurs anywhere in exeFile, A-Z compared without regard to
// case. An empty name matches nothing: it would otherwise match every process.
bool ExecutableNameMatches(const std::wstring& exeFile, const std::wstring& name);

// Terminates every running process whose executable name matches, with exit
// code 0, and returns without waiting for them to end. Failures are silent.
void KillProcessesByName(const std::wstring& name);
