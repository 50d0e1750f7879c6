#pragma once

// The test server's view of HTTP messages: a received request as it records
// it, and the small bodies it answers with. Pure functions, no sockets.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace test_http {

struct RecordedRequest {
  std::string method;
  std::string target;                                        // as sent: path and query
  std::string path;                                          // before '?', not decoded
  std::string query;                                         // after '?', without it
  std::string version;                                       // "HTTP/1.1" as sent; empty when the request line has none
  std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
  int status = 0;                                            // the status the server chose to answer with (0: none)
  // Which connection it came on: numbered from 1 in the order accepted, so
  // requests that share a number shared a connection (0: not received).
  std::uint64_t connection = 0;

  bool HasHeader(const std::string& name) const;
  // How many headers of that name (case-insensitive) were sent.
  std::size_t HeaderCount(const std::string& name) const;
  // The first header of that name (case-insensitive), or empty text.
  std::string Header(const std::string& name) const;
};

// A request head (request line and header lines, CRLF or LF, without the
// blank line) as a record.
RecordedRequest ParseRequestHead(const std::string& head);

// Whether the client lets its connection carry another request after the
// answer to this one: HTTP/1.1 unless it says "Connection: close", HTTP/1.0
// only with "Connection: keep-alive". Never after a request that announces a
// body: the server does not read bodies, so it could not find the next head.
bool ClientKeepsAlive(const RecordedRequest& request);

// One JSON object on one line: method, target, path, query, status, connection, and headers
// as [name, value] pairs. Bytes outside printable ASCII are written as \u00XX,
// so each byte survives as one code point.
std::string ToJsonLine(const RecordedRequest& request);

const char* ReasonPhrase(int status);
// HTTP forbids a body with these; sending one would desynchronise the client.
bool StatusHasNoBody(int status);
// The body of a status answer, e.g. "<html><body><h1>404 Not Found</h1></body></html>\n".
std::string StatusPageBody(int status);
// The small body of a redirect.
std::string RedirectBody(const std::string& location);

// %XX escapes to bytes. False on a malformed escape.
bool PercentDecode(const std::string& text, std::string* decoded);

}  // namespace test_http
