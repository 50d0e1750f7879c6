#pragma once

// HttpTransfer: every byte the updater exchanges with the update server, as
// plain HTTP GETs over libcurl's easy interface. Each call makes its own easy
// handle and cleans it up before returning; nothing outlives a call.
// FetchToMemory runs on the UI thread before any worker exists. The downloads
// run on the update worker thread, one at a time: they call curl_global_init
// and curl_global_cleanup around each transfer, which act on the whole process.
// Results are libcurl's CURLcode as an int (0 when the transfer ran to its end).
// DownloadAttempt lets a multi handle drive the same downloads several at once.
// Every request takes the proxy that proxy_route.h gives for its URL, never
// one from the environment, and answers a proxy that asks who is there with
// the logged-on user (Negotiate or NTLM; never Basic). A 407 that is still
// there after the handshake ends the request with 22; nothing retries it
// (download_policy.h), since the proxy would refuse the same user again.

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/unique_resource.h"

class StreamedDigests;

// The progress bar a download reports to: an HWND on Windows, carried as an
// opaque pointer so that this header needs no <windows.h>.
using ProgressWindow = void*;

// The progress-bar messages ReportProgress sends (commctrl.h's values).
constexpr unsigned int kProgressSetRange32 = 1030;  // PBM_SETRANGE32
constexpr unsigned int kProgressSetPos = 1026;      // PBM_SETPOS

// Delivers one message to the progress bar and returns once it has been handled.
using ProgressMessageSender = void (*)(ProgressWindow window, unsigned int message, std::uintptr_t wParam,
                                       std::intptr_t lParam);

// Replaces the process-wide sender that ReportProgress uses and returns the one
// before. By default it is SendMessageW on Windows and nothing elsewhere; tests
// install a recorder. Change it only while no download is running.
ProgressMessageSender SetProgressMessageSender(ProgressMessageSender sender);

#ifdef _WIN32
// The Windows default: SendMessageW, so the worker waits while the UI thread
// moves the bar.
void SendProgressMessageToWindow(ProgressWindow window, unsigned int message, std::uintptr_t wParam,
                                 std::intptr_t lParam);
#endif

// What a file download writes through. The caller owns it for the call.
struct DownloadTarget {
  // Path of the file (code page 936 on Windows), borrowed from the caller's string.
  const char* fileName = nullptr;
  // Empty when handed in. Opened at the first byte of an accepted (2xx) body, so
  // no file is created or truncated without one; closed and emptied before the
  // download returns.
  UniqueFile file;
  // 1 turns progress reporting on; any other value leaves it off.
  int showProgress = 0;

  // Resuming: above 0, only the bytes from this offset on are asked for
  // (Range), on condition that the resource still has the validator ifRange
  // (If-Range; required, since bytes of another version must never be
  // joined on). A 206 answer starting at exactly that offset is appended to
  // the file; a 200 answer replaces the file from its first byte; any other
  // part is refused like an error status.
  long long resumeFrom = 0;
  std::string ifRange;
  // Above 0: a transfer that moves less than 1 byte a second for this many
  // seconds, or does not connect within them, ends with 28. 0: no limit.
  long stallSeconds = 0;
  // At least 0: the most bytes the file may hold, counted from its first byte
  // (an appended part after the bytes it continues). A body that goes past it
  // ends the transfer with 63 (CURLE_FILESIZE_EXCEEDED) once exactly that many
  // bytes are in the file. Below 0: no limit.
  long long maxBytes = -1;
  // Above 0: the transfer ends with 28 after this many seconds in all, however
  // steadily bytes arrive. 0: no limit.
  long timeoutSeconds = 0;

  // Not null: fed every byte written to the file, after the bytes it already
  // holds when a part is appended (the caller feeds those), from the first
  // byte again when the answer replaces the file.
  StreamedDigests* digests = nullptr;

  // Filled in by the download, for a later resume.
  long responseStatus = 0;     // the answer's HTTP status; 0 when none came
  std::string validator;       // its strong ETag, else its Last-Modified; else empty
  bool appended = false;       // a 206 part was accepted and appended
  long long bytesWritten = 0;  // body bytes this transfer put in the file
  bool overLimit = false;      // the body went past maxBytes
  bool writeFailed = false;    // a write, flush or close of the file failed: what is on disk is short
};

// What the manifest and its signature may weigh. A real manifest of ten
// thousand entries is about 3 MiB; a signature file is one line.
inline constexpr std::size_t kMaxManifestBytes = 8u << 20;
inline constexpr std::size_t kMaxSignatureBytes = 4u << 10;

// Holds libcurl's global state for a whole update run on the worker thread.
// The downloads still initialise and clean up around each file, but those
// calls are counted by libcurl and then cost nothing; without this, every
// file pays for starting Winsock and the TLS provider again.
class CurlGlobalScope {
 public:
  CurlGlobalScope() : initialised_(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {}
  ~CurlGlobalScope() {
    if (initialised_) curl_global_cleanup();
  }
  CurlGlobalScope(const CurlGlobalScope&) = delete;
  CurlGlobalScope& operator=(const CurlGlobalScope&) = delete;

 private:
  bool initialised_;
};

// What ReportProgress is handed: the bar, and the download's target, whose
// bytes already on disk an appended part does not count.
struct DownloadProgress {
  ProgressWindow window = nullptr;
  const DownloadTarget* target = nullptr;
};

// One download, as HttpTransfer::Download makes it, on an easy handle that the
// caller runs: added to a multi handle, whose connection cache then serves
// every attempt on it. Finish gives Download's result once the handle is done
// and closes the file: 23 (CURLE_WRITE_ERROR) when the bytes counted did not
// all reach the disk, whatever the transfer said; the handle must be out of any multi handle before the
// object goes. With toBar, window's bar follows the bytes as
// DownloadWithProgress does; without it, as Download does.
class DownloadAttempt {
 public:
  DownloadAttempt(const std::string& url, DownloadTarget& target, bool toBar = false, ProgressWindow window = nullptr);
  ~DownloadAttempt();
  DownloadAttempt(const DownloadAttempt&) = delete;
  DownloadAttempt& operator=(const DownloadAttempt&) = delete;

  // Null when libcurl could not make one; Finish then gives CURLE_FAILED_INIT.
  CURL* handle() const;
  int Finish(CURLcode performed);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class HttpTransfer {
 public:
  // The manifest fetch: user agent "KVT Updater/1.0", 3 s in all, finding
  // the proxy included (proxy_route.h; every request here takes its proxy
  // from there). Bytes are appended to body whatever the HTTP status (an error page
  // included, with result 0), but for a proxy's 407, which gives 22 and body as
  // it was; on a time-out (28) body keeps what arrived. A
  // body of more than maxBytes gives 63 and body as it was before the call.
  int FetchToMemory(const std::string& url, std::string& body, std::size_t maxBytes = kMaxManifestBytes);

  // The installer download. With target.showProgress 1 the bar at
  // progressWindow gets PBM_SETRANGE32 0..total then PBM_SETPOS received,
  // bytes as 32-bit integers (counted from the file's start when a part is
  // appended). Only a 2xx answer is written; any other status,
  // a redirect included (never followed), gives 22 and leaves no file and any
  // older one of that name as it was. No time-out. A transfer that breaks off
  // leaves the bytes received so far in the file, which is closed.
  int DownloadWithProgress(const std::string& url, DownloadTarget& target);

  // As DownloadWithProgress, except that showProgress 1 only turns on libcurl's
  // own meter on standard error; the progress bar is never sent anything.
  int Download(const std::string& url, DownloadTarget& target);

  // libcurl's callbacks. None lets an exception escape.
  // Write function of FetchToMemory; body is a std::string*. Null body or data: -1.
  static std::size_t AppendToBody(char* data, std::size_t size, std::size_t count, void* body);
  // Write function of the downloads; target is a DownloadTarget*. -1 when the
  // file cannot be opened, else what fwrite returns (short on a full disk,
  // which ends the transfer with 23 and sets writeFailed). A 407's page is
  // taken and dropped.
  static std::size_t WriteToTargetFile(char* data, std::size_t size, std::size_t count, void* target);
  // Progress function; clientp points to a DownloadProgress. Never aborts (returns 0).
  static int ReportProgress(void* clientp, double dltotal, double dlnow, double ultotal, double ulnow);
  // Debug function: headers and data in both directions, one printf line each.
  static int TraceTransfer(CURL* handle, curl_infotype type, char* data, std::size_t size, void* userp);

  // When true, FetchToMemory traces through TraceTransfer to standard output.
  bool debug = false;
  // Set by FetchToMemory: the last answer's HTTP status (a proxy's 407
  // included), 0 when none came.
  long responseStatus = 0;
  // Set by the caller before DownloadWithProgress.
  ProgressWindow progressWindow = nullptr;
};
