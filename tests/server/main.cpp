// zq_test_http_server: the test HTTP server as a program of its own, for runs
// that drive a whole update against it from outside.
//
//   zq_test_http_server --root DIR [--port N] [--port-file FILE] [--log FILE]
//                       [--faults FILE] [--max-seconds S] [--max-requests N]
//                       [--connection-delay-ms MS] [--request-delay-ms MS]
//
// Serves DIR on 127.0.0.1 (port N, or one the system picks). Once listening it
// writes the port to FILE (complete when it appears: written aside, then
// renamed) and prints the base URL on standard output. Faults per path come
// from the URL ("/fault/404/soft/package.json") or from the rules file, which
// is read again at every request (see fault_plan.h); every request goes to the
// log as one JSON line. The delays stand for a network's round trips: before
// each new connection's first request is read, and before each answer (see
// ServerOptions). Ends on SIGINT or SIGTERM, after S seconds (default
// 900), or after N requests (default 10000). Exit code 0, 1 when it cannot
// listen or write the port file, 2 on a bad command line.

#include "tests/server/test_http_server.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int) {
  stopRequested = true;
}

int Usage(const char* problem) {
  std::fprintf(stderr,
               "zq_test_http_server: %s\n"
               "usage: zq_test_http_server --root DIR [--port N] [--port-file FILE] [--log FILE]\n"
               "                           [--faults FILE] [--max-seconds S] [--max-requests N]\n"
               "                           [--connection-delay-ms MS] [--request-delay-ms MS]\n",
               problem);
  return 2;
}

bool ParseCount(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

bool WritePortFile(const std::string& path, int port) {
  const std::string aside = path + ".part";
  std::FILE* file = std::fopen(aside.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fprintf(file, "%d\n", port) > 0;
  if (std::fclose(file) != 0 || !written) return false;
  std::remove(path.c_str());
  return std::rename(aside.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  test_http::ServerOptions options;
  std::string portFile;
  long maxSeconds = 900;
  long number = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") return Usage("serves a directory to tests on 127.0.0.1"), 0;
    if (i + 1 >= argc) return Usage(("missing value after " + flag).c_str());
    const char* value = argv[++i];
    if (flag == "--root") {
      options.documentRoot = value;
    } else if (flag == "--port" && ParseCount(value, 0, 65535, &number)) {
      options.port = static_cast<int>(number);
    } else if (flag == "--port-file") {
      portFile = value;
    } else if (flag == "--log") {
      options.requestLogFile = value;
    } else if (flag == "--faults") {
      options.faultRulesFile = value;
    } else if (flag == "--max-seconds" && ParseCount(value, 1, 86400, &number)) {
      maxSeconds = number;
    } else if (flag == "--max-requests" && ParseCount(value, 1, 1000000, &number)) {
      options.maxRequests = static_cast<std::size_t>(number);
    } else if (flag == "--connection-delay-ms" && ParseCount(value, 0, 60000, &number)) {
      options.connectionDelayMs = static_cast<int>(number);
    } else if (flag == "--request-delay-ms" && ParseCount(value, 0, 60000, &number)) {
      options.requestDelayMs = static_cast<int>(number);
    } else {
      return Usage(("bad option or value: " + flag + " " + value).c_str());
    }
  }
  if (options.documentRoot.empty()) return Usage("--root is required");

  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);

  const std::size_t maxRequests = options.maxRequests;
  test_http::TestHttpServer server(options);
  if (!server.Start()) {
    std::fprintf(stderr, "zq_test_http_server: cannot listen on 127.0.0.1:%d\n", options.port);
    return 1;
  }
  if (!portFile.empty() && !WritePortFile(portFile, server.port())) {
    std::fprintf(stderr, "zq_test_http_server: cannot write %s\n", portFile.c_str());
    return 1;
  }
  std::printf("%s\n", server.BaseUrl().c_str());
  std::fflush(stdout);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
  while (!stopRequested && std::chrono::steady_clock::now() < deadline && server.RequestCount() < maxRequests) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  server.Stop();
  return 0;
}
