#pragma once

#include <string>

// Opening the learning shell on the product's home page, with its own cache
// directory. Any learning shell that already runs is terminated first, so the
// user always gets a fresh one.

inline constexpr wchar_t kLearningShellName[] = L"zenquilo.exe";

// " --url=" + address as read + the switches + the quoted cache directory
// under shortModuleDirectory (which ends in a backslash, or is empty).
std::wstring BuildHomeShellParameters(const std::wstring& homeAddress, const std::wstring& shortModuleDirectory);

// Terminates running learning shells and starts a new one (main thread).
void LaunchHomeShell();
