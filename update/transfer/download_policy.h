#pragma once

// What every download of the updater is held to: how often and after which
// pauses it is tried, how much it may weigh and how long it may take, and
// what the next attempt does with the bytes an attempt left. Pure: no I/O.

#include <functional>
#include <string>
#include <vector>

// Appended to a file's path while it downloads: a staged file or an installer
// only ever carries its own name once it is whole and proved, even after a
// crash mid-download.
inline constexpr char kPartialDownloadSuffix[] = ".zqdownload";

inline constexpr long kDefaultStallSeconds = 30;

// A whole number from the settings file: decimal digits, blanks around them
// allowed, from lowest to highest; anything else gives fallback.
long WholeNumberFromSetting(const std::string& text, long lowest, long highest, long fallback);

// The settings file's text for the stall limit: a whole number of seconds,
// 1 to 3600, blanks around it allowed; anything else gives the default.
long StallSecondsFromSetting(const std::string& text);

struct RetryPolicy {
  // Handed to every transfer as DownloadTarget::stallSeconds.
  long stallSeconds = kDefaultStallSeconds;
  // One pause before each retry: a download is tried 1 + pausesMs.size() times.
  std::vector<unsigned> pausesMs = {1000, 4000, 16000};
  // How to wait; tests record instead. Null: the thread sleeps.
  std::function<void(unsigned ms)> pause;
};

// How much one file may weigh and how long it may take, all attempts and
// pauses together. Said by every caller: a download with no bound is one that
// a hostile server can make fill the disk or hold the worker for ever.
struct DownloadLimits {
  long long maxBytes;    // DownloadTarget::maxBytes of every attempt
  long deadlineSeconds;  // above 0: the whole download's time; 0: none
  // Above 0: after graceSeconds from the download's start, the bytes on disk
  // must keep up with this many a second counted from the grace's end, or
  // the download ends with 28. For a download whose size nobody named.
  long long minBytesPerSecond = 0;
  long graceSeconds = 0;
};

// The most any one download may weigh, and where the manifest names no size.
// A larger named size is refused before anything is asked for: no file of
// ours weighs that much, and a bound above it would be no bound.
inline constexpr long long kUnnamedSizeCap = 4LL << 30;

// Pure. A size the manifest names (at least 0) bounds the bytes exactly and
// gives a deadline of that size at 10 KiB/s plus a minute, against a server
// that sends a byte a second for ever. No size (below 0): kUnnamedSizeCap,
// and the same 10 KiB/s after the same minute, kept up as the bytes come.
DownloadLimits LimitsForSize(long long namedSize);

// What one attempt left behind, and what the next one does with it.
struct AttemptOutcome {
  int result = 0;             // the transfer's result (0: a whole 2xx answer)
  long status = 0;            // the answer's HTTP status, 0 when none came
  bool proved = false;        // the whole file passed the caller's proof
  long long bytesOnDisk = 0;  // size of the file now
  bool hasValidator = false;  // the answer that wrote those bytes named its version
};

enum class NextAttempt {
  kDone,     // proved
  kResume,   // keep the bytes on disk and ask for the rest
  kRestart,  // remove the file and fetch it from its first byte
  kGiveUp,   // remove the file; another attempt would fail the same way
};

// Pure. A whole file that failed its proof, bytes whose version is unknown, a
// range the server calls unsatisfiable (416), a write that did not reach the
// disk (23), or a body longer than the file: start again from zero. A proxy
// that refused the user's credentials (407) would refuse them again, and a
// server whose certificate was refused (60) presents the same one seconds
// later: give up at once.
NextAttempt DecideNextAttempt(const AttemptOutcome& outcome);

// The result of a download whose last whole file failed its proof.
inline constexpr int kDownloadNotProved = -1;

// A transfer's result as the event log writes it: "libcurl 28 (Timeout was
// reached)", with " after HTTP 404" when the server answered with a status
// other than 2xx, or what kDownloadNotProved means.
std::string TransferResultText(int result, long status);
