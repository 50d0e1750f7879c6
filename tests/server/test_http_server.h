#pragma once

// A small HTTP/1.1 server for tests, on 127.0.0.1 only. It serves resources
// set in memory and files under a directory, answers each path with the fault
// asked for (see fault_plan.h), and records every request it receives.
// Resources and files carry a strong ETag and are served in byte ranges
// (see byte_ranges.h) unless the fault says "no-ranges". One
// thread accepts, one thread serves each connection (at most 64 at a time);
// every wait is cut short by Stop(), which the destructor calls. Connections
// are kept alive for the next request (HTTP/1.1, requests in order) unless the
// client asks to close (ClientKeepsAlive) or the fault ends the connection
// (PlanEndsConnection); an idle connection is closed after 10 s. Optional
// fixed delays stand for a network's round trips.
// Usable in-process from tests on both platforms, and as the standalone
// program zq_test_http_server (main.cpp).

#include "tests/server/fault_plan.h"
#include "tests/server/http_messages.h"
#include "tests/server/socket_shim.h"

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace test_http {

struct ServerOptions {
  int port = 0;                     // 0: a free port chosen by the system
  std::string documentRoot;         // files served from here; empty: memory only
  std::string faultRulesFile;       // read again at each request; empty: none
  std::string requestLogFile;       // one ToJsonLine per request appended; empty: none
  std::size_t maxRequests = 10000;  // later requests are not answered: their connection is closed
  // Silence before the first byte of each new connection is read: the round
  // trip of a TCP handshake. Each connection waits on its own thread.
  int connectionDelayMs = 0;
  // Silence before each answer's head: the round trip of a request.
  int requestDelayMs = 0;
};

class TestHttpServer {
 public:
  explicit TestHttpServer(ServerOptions options = ServerOptions());
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  // Listens on 127.0.0.1 and starts accepting. False when it cannot bind.
  bool Start();
  // Ends every stall, closes every connection, joins every thread. Idempotent.
  void Stop();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string BaseUrl() const;

  // Served at exactly this path (before any file under the document root).
  void SetResource(const std::string& path, const std::string& body);
  // Answers this exact path (after any "/fault/.../" prefix is taken off) so.
  // A fault in the URL's prefix wins over this, and this over the rules file.
  // A plan with "times" counts the requests of its path (the query aside):
  // here from this call on; for a rules file per rule as written and path;
  // for a URL prefix per full path, prefix included. ClearRequests keeps the
  // counts.
  void SetFault(const std::string& path, const ResponsePlan& plan);

  std::vector<RecordedRequest> Requests() const;
  std::size_t RequestCount() const;
  void ClearRequests();

 private:
  struct Connection;
  struct Answer;
  void AcceptLoop();
  void Serve(Connection* connection);
  // The next request head from *pending (bytes read but not yet used) and
  // the socket; what follows the head stays in *pending.
  bool ReadRequestHead(Connection* connection, std::string* pending, std::string* head) const;
  // True when the whole answer went out.
  bool Respond(Connection* connection, const ResponsePlan& plan, const Answer& answer, bool headOnly,
               bool keepAlive) const;
  // The body of an endless or dripping plan: until it ends, the server stops or the peer hangs up.
  bool SendUnbounded(Connection* connection, const ResponsePlan& plan, const std::string& body, bool chunked) const;
  // Counts a request against maxRequests; false once they are spent.
  bool AdmitRequest();
  // The plan for this request, counted against its "times".
  ResponsePlan PlanFor(const std::string& path, std::string* contentPath);
  ResponsePlan FindPlan(const std::string& path, std::string* contentPath, std::string* countedAs) const;
  Answer AnswerFor(const RecordedRequest& request, const ResponsePlan& plan, const std::string& contentPath) const;
  bool FindBody(const std::string& path, std::string* body) const;
  void Record(const RecordedRequest& request);
  // Waits up to seconds; false as soon as the server stops or the peer hangs up.
  bool Pause(double seconds, Connection* connection) const;

  ServerOptions options_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::unique_ptr<SocketLibrary> sockets_;
  SocketHandle listenSocket_ = kNoSocket;

  mutable std::mutex mutex_;
  std::map<std::string, std::string> resources_;
  std::map<std::string, ResponsePlan> faults_;
  std::map<std::string, int> faultUses_;
  std::vector<RecordedRequest> requests_;
  std::size_t admitted_ = 0;
};

}  // namespace test_http
