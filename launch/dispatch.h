#pragma once

#include <string>

// Acting on the command line of a start: a plain start opens the learning shell,
// a "kvts://" link opens the live-classroom shell. The decision and the command
// line are built here without touching the system; DispatchCommandLine carries them out.

inline constexpr wchar_t kLinkScheme[] = L"kvts://";
inline constexpr wchar_t kLinkHostWord[] = L"zenquilo";
inline constexpr wchar_t kLiveShellName[] = L"zenquilo_live.exe";

enum class DispatchAction {
  kNothing,             // not empty and not one of our links
  kOpenHomeShell,       // empty: the learning shell on the home page
  kTerminateLiveShell,  // a link whose scheme is not written in lower case
  kOpenLiveShell,       // a link: running live shells go, a new one opens for it
};

DispatchAction ClassifyCommandLine(const std::wstring& commandLine);

// The link with its first "kvts://" replaced by "--", made into one argument
// (see MakeSingleArgument), followed by the live shell's switches and its cache
// directory under shortModuleDirectory (which ends in a backslash, or is empty).
std::wstring BuildLiveShellParameters(const std::wstring& commandLine, const std::wstring& shortModuleDirectory);

// A link comes from a web page. Blanks, tabs, line breaks and double quotes in it
// are percent-encoded so that the page cannot add switches of its own to the
// shell's command line; a pair of quotes around the whole text is kept, and
// backslashes right before that closing quote are encoded too, since they would
// escape it.
std::wstring MakeSingleArgument(const std::wstring& link);

// Carries out the decision for this start's command line (main thread, start-up).
void DispatchCommandLine(std::wstring commandLine);
