#pragma once

// The few socket calls the test server needs, the same on POSIX and Winsock.
// Loopback TCP only; every wait is bounded by the caller's time slice.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstddef>

namespace test_http {

#ifdef _WIN32
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
#else
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
#endif

// Winsock must be started before the first socket and stopped after the last;
// POSIX needs nothing. Counted by Winsock itself, so instances may nest.
class SocketLibrary {
 public:
#ifdef _WIN32
  SocketLibrary() {
    WSADATA data;
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~SocketLibrary() {
    if (ok_) WSACleanup();
  }
#else
  SocketLibrary() = default;
#endif
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
  bool ok() const {
    return ok_;
  }

 private:
  bool ok_ = true;
};

inline void CloseSocket(SocketHandle s) {
  if (s == kNoSocket) return;
#ifdef _WIN32
  closesocket(s);
#else
  close(s);
#endif
}

// No more sending; the peer reads the end of the stream.
inline void ShutdownSending(SocketHandle s) {
#ifdef _WIN32
  shutdown(s, SD_SEND);
#else
  shutdown(s, SHUT_WR);
#endif
}

// 1 when s can be read (or accepted from) within timeoutMs, 0 when not, -1 on error.
inline int WaitReadable(SocketHandle s, int timeoutMs) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int n = select(0, &set, nullptr, nullptr, &tv);
#else
  pollfd entry{s, POLLIN, 0};
  const int n = poll(&entry, 1, timeoutMs);
#endif
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

// Bytes read, 0 when the peer closed, negative on error.
inline long ReceiveSome(SocketHandle s, char* buffer, std::size_t size, bool peek = false) {
  const int flags = peek ? MSG_PEEK : 0;
#ifdef _WIN32
  return recv(s, buffer, static_cast<int>(size), flags);
#else
  return static_cast<long>(recv(s, buffer, size, flags));
#endif
}

// Bounds every send, so a client that stops reading cannot hold a server thread.
inline void SetSendTimeout(SocketHandle s, int timeoutMs) {
#ifdef _WIN32
  const DWORD value = static_cast<DWORD>(timeoutMs);
#else
  const timeval value{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
#endif
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
}

// An answer goes out as several writes (head, then body pieces); with the
// sender's coalescing on, the second waits for the client's delayed
// acknowledgement, some 40 ms per request on a kept-alive connection.
inline void SetNoDelay(SocketHandle s) {
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// Sends everything or fails. A closed peer must be an error, not SIGPIPE.
inline bool SendAll(SocketHandle s, const char* data, std::size_t size) {
  while (size > 0) {
#ifdef _WIN32
    const int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    const int sent = send(s, data, chunk, 0);
#else
    const long sent = static_cast<long>(send(s, data, size, MSG_NOSIGNAL));
#endif
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace test_http
