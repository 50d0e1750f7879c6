#pragma once

// The program's log for administrators: one file per install, one line per
// event, each starting with its UTC time. It is bounded (at the bound the
// file becomes the one older generation, NAME.1, and a new file starts), and
// it never makes anything fail: a line that cannot be written is dropped.
// Any thread of any copy of the program may write; each line goes out in one
// write of a file opened for appending, and lines are never split.
// Until StartEventLog names a file, LogEvent does nothing.

#include <cstdint>
#include <ctime>
#include <string>

inline constexpr long long kEventLogBytes = 1 << 20;
// In the install's temp\ directory.
inline constexpr wchar_t kEventLogName[] = L"zenquilostudent.log";

// From now on this process logs to path (narrow, code page 936 on
// Windows), keeping it under maxBytes plus the one older generation.
void StartEventLog(const std::string& path, long long maxBytes = kEventLogBytes);

// Stops logging; for tests.
void StopEventLog();

// Appends "<time> <text>" as one line. Line breaks and other control
// characters in text become spaces, so one event is always one line.
void LogEvent(const std::string& text);

// url as the log writes it: without its query (a tick, the installed
// version, or a token of someone's) and without a user name and password.
std::string LoggedUrl(const std::string& url);

// "2026-12-09T15:04:05Z".
std::string UtcTimestamp(std::time_t when);
