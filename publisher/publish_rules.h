#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The small rules a release is held to, as pure functions of text. Relative
// paths here are UTF-8 with "/" separators, as they lie below the release
// directory. Any thread.

// Why one segment (a file or directory name) cannot be installed by the
// client on Windows; empty text when it can. Refused: the empty name, control
// characters, "\" ":" and the other characters Windows file names cannot hold,
// a trailing dot or blank (Windows drops them, so the name would change), and
// the reserved device names (CON, NUL, COM1, ... with or without extension).
std::string SegmentProblem(const std::string& segment);

// The path split on "/"; an empty path gives one empty segment.
std::vector<std::string> SplitPath(const std::string& path);

// A-Z folded to a-z, everything else as it is: the comparison Windows makes
// between names of the client's files that differ only in letter case.
std::string FoldAsciiCase(const std::string& text);

// fnmatch-style glob on a relative path: "*" and "?" stay within one segment,
// "**" crosses "/" ("**/" also matches no directory at all), "?" is one UTF-8
// character; everything else matches itself. No character classes.
bool MatchesGlob(const std::string& pattern, const std::string& path);

// Every byte outside A-Z a-z 0-9 . _ ~ - as %XX (upper-case hex); "/" kept
// when keepSlashes. UTF-8 names thereby become %XX sequences.
std::string PercentEncode(const std::string& text, bool keepSlashes);

// The expiry "--expires days" gives at now (seconds since 1970, UTC): days of
// 1 to 3650, decimal digits only. False, and expires untouched, otherwise.
bool ExpiryFromDays(const std::string& days, std::int64_t now, std::string& expires);

// The "issued" time of a new signed text of a release at now (seconds since
// 1970, UTC), previous being the issued time of the text it replaces (empty:
// none): now, or a second after previous where that is not before now. A
// client refuses a text of a version issued before the newest it has seen, so
// each text must be issued strictly later than the last, even within one
// second or with the clock set back. False, issued untouched, when previous is
// not in the expiry form or the time cannot be written in it.
bool IssueTime(std::int64_t now, const std::string& previous, std::string& issued);

// One to ten decimal digits and nothing else: the form in which zq_publish
// writes a release's version and each file's ver.
bool IsVerText(const std::string& text);

// Whether text ends with tail.
bool EndsWith(const std::string& text, const std::string& tail);

// The base URL with its trailing "/" characters removed.
std::string TrimTrailingSlashes(std::string url);
