#include "update/transfer/http_transfer.h"

#include "platform/narrow_file.h"
#include "platform/unique_resource.h"
#include "update/proof/streamed_digests.h"
#include "update/transfer/proxy_route.h"
#include "update/transfer/server_certificate.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// libcurl treats any count other than the one it delivered as a write error.
constexpr std::size_t kAbortTransfer = static_cast<std::size_t>(-1);

#ifdef _WIN32
constexpr ProgressMessageSender kDefaultSender = &SendProgressMessageToWindow;
#else
constexpr ProgressMessageSender kDefaultSender = nullptr;
#endif

std::atomic<ProgressMessageSender> progressMessageSender{kDefaultSender};

using EasyHandle = UniqueResource<NullableTraits<CURL*, &curl_easy_cleanup>>;

// What finding the system's proxy may take of a request: detection and a PAC
// file are waited for this long at most, which leaves the manifest more than
// half of its 3 seconds.
constexpr std::chrono::milliseconds kProxyLookupBudget{1500};
constexpr std::chrono::milliseconds kManifestTime{3000};

constexpr long kProxyAuthenticationRequired = 407;

// Always set, also to "" for a direct connection: otherwise libcurl would
// follow http_proxy and no_proxy from the environment, which no school sets
// for its PCs and Windows' own programs ignore; the system's settings decide.
void UseProxy(CURL* curl, const std::string& proxy) {
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  // A proxy that asks who we are gets the logged-on user, as it would from
  // Windows' own programs: the empty name and password are SSPI's "the
  // current user", so no password is ever kept or typed. Basic would send a
  // password in the clear and is never offered. Without SSPI, libcurl's NTLM
  // would log in with an empty name instead; Negotiate (GSS-API) there still
  // takes the user's own ticket.
#ifdef _WIN32
  curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_NEGOTIATE | CURLAUTH_NTLM));
#else
  curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_NEGOTIATE));
#endif
  curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, ":");
}

// The proxy turned down the credentials it was offered, or asked for a
// scheme we do not use: its answer is not the server's. For https it
// answers the tunnel's CONNECT, which libcurl ends with 56.
bool RefusedByProxy(CURL* curl) {
  long status = 0;
  long tunnel = 0;
  return (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
          status == kProxyAuthenticationRequired) ||
         (curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &tunnel) == CURLE_OK &&
          tunnel == kProxyAuthenticationRequired);
}

using UrlHandle = UniqueResource<NullableTraits<CURLU*, &curl_url_cleanup>>;

// The host an https URL names, as its certificate must name it; empty for
// any other URL, whose server has no certificate to check.
std::string HttpsHostOf(const std::string& url) {
  const UrlHandle parsed(curl_url());
  char* scheme = nullptr;
  char* host = nullptr;
  std::string result;
  if (parsed && curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && std::strcmp(scheme, "https") == 0) {
    result = host;
    // An IPv6 literal comes in brackets; a certificate names the address alone.
    const bool bracketed = result.size() > 2 && result.front() == '[' && result.back() == ']';
    if (bracketed) result = result.substr(1, result.size() - 2);
  }
  curl_free(scheme);
  curl_free(host);
  return result;
}

// What the pre-request check of one transfer needs, and what it found.
struct ServerCheck {
  CURL* handle = nullptr;
  std::string host;  // empty: not https
  bool refused = false;
};

// Runs once the connection is made or reused, through any proxy's tunnel,
// before a byte of the request is sent: a server we do not trust learns
// nothing of what is asked, and gives nothing that is taken.
int CheckServerBeforeRequest(void* clientp, char*, char*, int, int) {
  auto* check = static_cast<ServerCheck*>(clientp);
  if (check == nullptr) return CURL_PREREQFUNC_ABORT;
  if (check->host.empty()) return CURL_PREREQFUNC_OK;
  try {
    if (ServerCertificateAccepted(check->handle, check->host)) return CURL_PREREQFUNC_OK;
  } catch (...) {
  }
  check->refused = true;
  return CURL_PREREQFUNC_ABORT;
}

void CheckServerOfEachRequest(CURL* curl, ServerCheck& check, const std::string& url) {
  check.handle = curl;
  check.host = HttpsHostOf(url);
  // Real Windows' Schannel checks revocation as well, and would otherwise
  // refuse a server whose CRL a school's firewall keeps out of reach.
  curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &CheckServerBeforeRequest);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, &check);
}

// libcurl calls a refusal by the callback an abort (42); it is a server that
// failed verification, as Schannel's own refusal is.
CURLcode WithServerCheck(const ServerCheck& check, CURLcode result) {
  return check.refused ? CURLE_PEER_FAILED_VERIFICATION : result;
}

// Whether the handle's transfer got a connection (new or reused) to anyone.
bool MadeConnection(CURL* curl) {
  char* address = nullptr;
  return curl_easy_getinfo(curl, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address != nullptr && address[0] != '\0';
}

// The progress bar takes 32-bit integers. A double outside that range (an
// installer over 2 GiB, or garbage) is clamped rather than converted, since
// converting it would be undefined.
std::int32_t TruncateToInt32(double value) {
  if (!(value > INT32_MIN)) return value < 0 ? INT32_MIN : 0;  // NaN gives 0
  if (!(value < INT32_MAX)) return INT32_MAX;
  return static_cast<std::int32_t>(value);
}

// Reads each response's header block and decides, at its end, whether the body
// may reach the file: a 2xx may, and a 206 only when it is the part asked for.
// Anything else ends the transfer before the first body byte, so
// WriteToTargetFile never opens (or truncates) the file.
struct ResponseGate {
  CURL* handle = nullptr;
  DownloadTarget* target = nullptr;
  bool rejected = false;
  std::string etag;
  std::string lastModified;
  std::string contentRange;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of a "Name: value" line when its name is name (any case), else false.
bool HeaderValue(const std::string& line, const char* name, std::string& value) {
  const std::size_t length = std::strlen(name);
  if (line.size() <= length || line[length] != ':') return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != std::tolower(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  std::size_t begin = length + 1;
  std::size_t end = line.size();
  while (begin < end && IsBlank(line[begin])) ++begin;
  while (end > begin && IsBlank(line[end - 1])) --end;
  value = line.substr(begin, end - begin);
  return true;
}

// "bytes FIRST-LAST/SIZE": FIRST, or -1 when the text is not of that form.
long long ContentRangeStart(const std::string& value) {
  if (value.compare(0, 6, "bytes ") != 0) return -1;
  long long first = 0;
  std::size_t i = 6;
  if (i >= value.size() || !std::isdigit(static_cast<unsigned char>(value[i]))) return -1;
  for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i) {
    if (first > (LLONG_MAX - 9) / 10) return -1;
    first = first * 10 + (value[i] - '0');
  }
  return i < value.size() && value[i] == '-' ? first : -1;
}

bool AcceptResponse(ResponseGate& gate, long status) {
  DownloadTarget& target = *gate.target;
  target.responseStatus = status;
  target.appended = false;
  if (status == 206) {
    if (target.resumeFrom <= 0 || ContentRangeStart(gate.contentRange) != target.resumeFrom) return false;
    target.appended = true;
  } else if (status < 200 || status >= 300) {
    return false;
  }
  // A weak tag (W/"...") may not be used to join byte ranges.
  target.validator = !gate.etag.empty() && gate.etag[0] == '"' ? gate.etag : gate.lastModified;
  return true;
}

std::size_t ReadResponseHeader(char* data, std::size_t size, std::size_t count, void* userdata) {
  const std::size_t bytes = size * count;
  auto* gate = static_cast<ResponseGate*>(userdata);
  if (gate == nullptr || data == nullptr) return kAbortTransfer;
  try {
    const std::string line(data, bytes);
    std::string value;
    if (line.compare(0, 5, "HTTP/") == 0) {
      // Each answer (an interim one first, perhaps) starts afresh.
      gate->etag.clear();
      gate->lastModified.clear();
      gate->contentRange.clear();
    } else if (line == "\r\n" || line == "\n") {
      long status = 0;
      if (curl_easy_getinfo(gate->handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
      // An interim answer (100 Continue, 103 Early Hints) is followed by the real one.
      if (status >= 100 && status < 200) return bytes;
      // A proxy asking for credentials: libcurl answers it on this connection
      // and skips its body, or ends with it. Ending here would cut every
      // handshake short, so it passes, and WriteToTargetFile drops its body.
      if (status == kProxyAuthenticationRequired) {
        gate->target->responseStatus = status;
        return bytes;
      }
      if (AcceptResponse(*gate, status)) return bytes;
      gate->rejected = true;
      return 0;
    } else if (HeaderValue(line, "ETag", value)) {
      gate->etag = value;
    } else if (HeaderValue(line, "Last-Modified", value)) {
      gate->lastModified = value;
    } else if (HeaderValue(line, "Content-Range", value)) {
      gate->contentRange = value;
    }
    return bytes;
  } catch (...) {
    return kAbortTransfer;
  }
}

void SendProgress(ProgressWindow window, double total, double now) {
  const ProgressMessageSender send = progressMessageSender.load();
  if (send == nullptr) return;
  // Sent on every call, also while the total is still 0, so the bar starts
  // from an empty range until the size is known.
  send(window, kProgressSetRange32, 0, static_cast<std::intptr_t>(TruncateToInt32(total)));
  send(window, kProgressSetPos, static_cast<std::uintptr_t>(static_cast<std::intptr_t>(TruncateToInt32(now))), 0);
}

using HeaderList = UniqueResource<NullableTraits<curl_slist*, &curl_slist_free_all>>;

// FetchToMemory's write target: the caller's text and how much it may grow.
struct BoundedBody {
  std::string* body = nullptr;
  std::size_t start = 0;
  std::size_t maxBytes = 0;
  bool overLimit = false;
};

std::size_t AppendWithinLimit(char* data, std::size_t size, std::size_t count, void* userdata) {
  auto* bounded = static_cast<BoundedBody*>(userdata);
  if (bounded == nullptr || bounded->body == nullptr) return kAbortTransfer;
  // A body that never ends must not take the process's memory with it.
  if (size * count > bounded->maxBytes - (bounded->body->size() - bounded->start)) {
    bounded->overLimit = true;
    return kAbortTransfer;
  }
  return HttpTransfer::AppendToBody(data, size, count, bounded->body);
}

enum class ProgressRoute { kProgressBar, kLibcurlMeter };

int RunDownload(const std::string& url, DownloadTarget& target, ProgressWindow window, ProgressRoute route) {
  const bool initialised = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
  int result = CURLE_FAILED_INIT;
  {
    DownloadAttempt attempt(url, target, route == ProgressRoute::kProgressBar, window);
    result = attempt.Finish(attempt.handle() != nullptr ? curl_easy_perform(attempt.handle()) : CURLE_FAILED_INIT);
  }
  if (initialised) curl_global_cleanup();
  return result;
}

}  // namespace

struct DownloadAttempt::State {
  EasyHandle handle;
  // Outlive the transfer: libcurl keeps only their addresses.
  HeaderList headers;
  std::string url;
  std::string range;
  DownloadProgress progress;
  ResponseGate gate;
  DownloadTarget* target = nullptr;
  std::string proxy;
  ServerCheck server;
};

namespace {

// What a download reports is this attempt's alone.
void ForgetLastOutcome(DownloadTarget& target) {
  target.responseStatus = 0;
  target.validator.clear();
  target.appended = false;
  target.bytesWritten = 0;
  target.overLimit = false;
  target.writeFailed = false;
}

void BoundInTime(CURL* curl, const DownloadTarget& target) {
  if (target.stallSeconds > 0) {
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, target.stallSeconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, target.stallSeconds);
  }
  // A byte a second keeps any stall limit happy for ever; this bounds the whole.
  if (target.timeoutSeconds > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT, target.timeoutSeconds);
}

}  // namespace

DownloadAttempt::DownloadAttempt(const std::string& url, DownloadTarget& target, bool toBar, ProgressWindow window)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.target = &target;
  s.url = url;
  ForgetLastOutcome(target);
  s.handle.Reset(curl_easy_init());
  if (!s.handle) return;
  CURL* const curl = s.handle.get();
  s.progress.window = window;
  s.progress.target = &target;
  s.gate.handle = curl;
  s.gate.target = &target;

  curl_easy_setopt(curl, CURLOPT_URL, s.url.c_str());
  s.proxy = ProxyForRequest(url, kProxyLookupBudget);
  UseProxy(curl, s.proxy);
  curl_easy_setopt(curl, CURLOPT_PRIVATE, this);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &HttpTransfer::WriteToTargetFile);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
  // No trace: a windowed program shows none, and where standard error does
  // lead somewhere (Wine from a shell, a launcher that captures output) its
  // dozen lines a request cost more than a small file's whole transfer.
  if (target.showProgress == 1) {
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    if (toBar) {
      // The double-based progress function is deprecated in favour of
      // XFERINFO; it is kept because the bar is fed truncated doubles.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
      curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, &HttpTransfer::ReportProgress);
      curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, &s.progress);
#pragma GCC diagnostic pop
    }
  }
  if (target.resumeFrom > 0 && !target.ifRange.empty()) {
    s.range = std::to_string(target.resumeFrom) + "-";
    curl_easy_setopt(curl, CURLOPT_RANGE, s.range.c_str());
    s.headers.Reset(curl_slist_append(nullptr, ("If-Range: " + target.ifRange).c_str()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, s.headers.get());
  }
  BoundInTime(curl, target);
  // The 2xx rule needs HTTP status lines: no other protocol may answer, and
  // a proxy's CONNECT reply must not reach the gate as if it were the server's.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &ReadResponseHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &s.gate);
  CheckServerOfEachRequest(curl, s.server, s.url);
}

DownloadAttempt::~DownloadAttempt() {
  state_->handle.Reset();
  // After the handle is gone, so no callback can reach the file again.
  Finish(CURLE_OK);
}

CURL* DownloadAttempt::handle() const {
  return state_->handle.get();
}

int DownloadAttempt::Finish(CURLcode performed) {
  DownloadTarget& target = *state_->target;
  if (target.file) {
    // fwrite only fills the stream's buffer: a full disk often shows first
    // here, and a file that is short of the bytes its digests were fed from
    // must never be taken as proved.
    const bool flushed = std::fflush(target.file.get()) == 0 && std::ferror(target.file.get()) == 0;
    // CloseFile also empties the record, so that a reused one cannot write
    // through a closed stream.
    if (!CloseFile(target.file) || !flushed) target.writeFailed = true;
  }
  if (!state_->handle) return CURLE_FAILED_INIT;
  const CURLcode result = WithServerCheck(state_->server, performed);
  // The next attempt (the engine's retry) goes by the next choice.
  ReportProxyResult(state_->proxy, result, MadeConnection(state_->handle.get()));
  if (RefusedByProxy(state_->handle.get())) target.responseStatus = kProxyAuthenticationRequired;
  if (state_->gate.rejected || target.responseStatus == kProxyAuthenticationRequired) return CURLE_HTTP_RETURNED_ERROR;
  if (target.writeFailed) return CURLE_WRITE_ERROR;
  return target.overLimit ? CURLE_FILESIZE_EXCEEDED : result;
}

ProgressMessageSender SetProgressMessageSender(ProgressMessageSender sender) {
  return progressMessageSender.exchange(sender);
}

int HttpTransfer::FetchToMemory(const std::string& url, std::string& body, std::size_t maxBytes) {
  EasyHandle handle(curl_easy_init());
  if (!handle) return CURLE_FAILED_INIT;
  CURL* const curl = handle.get();

  if (debug) {
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &HttpTransfer::TraceTransfer);
  }
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "KVT Updater/1.0");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, static_cast<curl_read_callback>(nullptr));
  BoundedBody bounded;
  bounded.body = &body;
  bounded.start = body.size();
  bounded.maxBytes = maxBytes;
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendWithinLimit);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bounded);
  // Refused at the headers when the server says in advance that it is too much.
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
  // No signals: the resolver's time-out must not interrupt the UI thread.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  ServerCheck server;
  CheckServerOfEachRequest(curl, server, url);

  // The 3 seconds hold for the whole fetch: finding the proxy, and trying the
  // next choice when one cannot be reached.
  const auto deadline = std::chrono::steady_clock::now() + kManifestTime;
  CURLcode result = CURLE_OPERATION_TIMEDOUT;
  for (;;) {
    const std::string proxy = ProxyForRequest(url, kProxyLookupBudget);
    const long left = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) break;
    UseProxy(curl, proxy);
    // A proxy that does not answer must leave the direct road some time.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, proxy.empty() ? left : left / 2);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, left);
    result = WithServerCheck(server, curl_easy_perform(curl));
    if (!ReportProxyResult(proxy, result, MadeConnection(curl))) break;
  }
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &responseStatus) != CURLE_OK) responseStatus = 0;
  if ((result == CURLE_OK || result == CURLE_RECV_ERROR) && RefusedByProxy(curl)) {
    // Its page is no manifest, and trying again would offer the same credentials.
    body.resize(bounded.start);
    return CURLE_HTTP_RETURNED_ERROR;
  }
  if (bounded.overLimit || result == CURLE_FILESIZE_EXCEEDED) {
    // Part of an oversized answer is no answer: nothing of it may be acted on.
    body.resize(bounded.start);
    return CURLE_FILESIZE_EXCEEDED;
  }
  return result;
}

int HttpTransfer::DownloadWithProgress(const std::string& url, DownloadTarget& target) {
  return RunDownload(url, target, progressWindow, ProgressRoute::kProgressBar);
}

int HttpTransfer::Download(const std::string& url, DownloadTarget& target) {
  return RunDownload(url, target, nullptr, ProgressRoute::kLibcurlMeter);
}

std::size_t HttpTransfer::AppendToBody(char* data, std::size_t size, std::size_t count, void* body) {
  if (body == nullptr || data == nullptr) return kAbortTransfer;
  try {
    static_cast<std::string*>(body)->append(data, size * count);
  } catch (...) {
    return kAbortTransfer;
  }
  // libcurl always passes items of one byte, so count is the byte count.
  return count;
}

std::size_t HttpTransfer::WriteToTargetFile(char* data, std::size_t size, std::size_t count, void* userdata) {
  auto* target = static_cast<DownloadTarget*>(userdata);
  if (target == nullptr || data == nullptr) return kAbortTransfer;
  // libcurl may report an empty body as a call with no bytes: that must not
  // create the file.
  if (size == 0 || count == 0) return 0;
  // The proxy's page about credentials, never the file's bytes.
  if (target->responseStatus == kProxyAuthenticationRequired) return count;
  try {
    if (!target->file) {
      if (target->fileName == nullptr) return kAbortTransfer;
      // Binary: bytes as they come, no newline translation on Windows. An
      // accepted part goes after the bytes it continues.
      target->file.Reset(OpenNarrowPath(target->fileName, target->appended ? "ab" : "wb"));
      if (!target->file) return kAbortTransfer;
      // A whole answer replaces what a resumed file kept: its digest starts afresh.
      if (target->digests != nullptr && !target->appended) target->digests->Reset();
    }
    std::size_t bytes = size * count;
    if (target->maxBytes >= 0) {
      // Up to the limit exactly, then the transfer ends: a body that never
      // ends must not fill the disk.
      const long long before = (target->appended ? target->resumeFrom : 0) + target->bytesWritten;
      const long long room = std::max(0LL, target->maxBytes - before);
      if (static_cast<unsigned long long>(bytes) > static_cast<unsigned long long>(room)) {
        target->overLimit = true;
        const std::size_t allowed = static_cast<std::size_t>(room);
        if (allowed > 0) {
          if (std::fwrite(data, 1, allowed, target->file.get()) != allowed) {
            target->writeFailed = true;
          } else {
            target->bytesWritten += room;
            if (target->digests != nullptr) target->digests->Update(data, allowed);
          }
        }
        return kAbortTransfer;
      }
    }
    const std::size_t written = std::fwrite(data, size, count, target->file.get());
    target->bytesWritten += static_cast<long long>(written * size);
    if (target->digests != nullptr) target->digests->Update(data, written * size);
    if (written != count) target->writeFailed = true;
    return written;
  } catch (...) {
    return kAbortTransfer;
  }
}

int HttpTransfer::ReportProgress(void* clientp, double dltotal, double dlnow, double, double) {
  const auto* progress = static_cast<const DownloadProgress*>(clientp);
  if (progress == nullptr) return 0;
  try {
    const double offset = progress->target != nullptr && progress->target->appended
                              ? static_cast<double>(progress->target->resumeFrom)
                              : 0;
    // Before the size is known the total stays 0, whatever lies on disk.
    SendProgress(progress->window, dltotal > 0 ? dltotal + offset : 0, dlnow + offset);
  } catch (...) {
  }
  return 0;
}

int HttpTransfer::TraceTransfer(CURL*, curl_infotype type, char* data, std::size_t size, void*) {
  const char* tag = nullptr;
  switch (type) {
    case CURLINFO_HEADER_IN: tag = "[HEADER_IN]"; break;
    case CURLINFO_HEADER_OUT: tag = "[HEADER_OUT]"; break;
    case CURLINFO_DATA_IN: tag = "[DATA_IN]"; break;
    case CURLINFO_DATA_OUT: tag = "[DATA_OUT]"; break;
    default: return 0;
  }
  // The block is not zero-terminated: print exactly its bytes, never past them.
  const int length = data == nullptr ? 0 : static_cast<int>(std::min<std::size_t>(size, INT_MAX));
  std::printf("%s%.*s\n", tag, length, data == nullptr ? "" : data);
  return 0;
}
