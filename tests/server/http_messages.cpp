#include "tests/server/http_messages.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

namespace test_http {
namespace {

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendJsonString(const std::string& text, std::string* out) {
  out->push_back('"');
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(c);
    } else if (byte < 0x20 || byte >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned int>(byte));
      out->append(escaped);
    } else {
      out->push_back(c);
    }
  }
  out->push_back('"');
}

}  // namespace

bool RecordedRequest::HasHeader(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const std::pair<std::string, std::string>& h) { return EqualsIgnoringCase(h.first, name); });
}

std::size_t RecordedRequest::HeaderCount(const std::string& name) const {
  return static_cast<std::size_t>(
      std::count_if(headers.begin(), headers.end(),
                    [&](const std::pair<std::string, std::string>& h) { return EqualsIgnoringCase(h.first, name); }));
}

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& h : headers) {
    if (EqualsIgnoringCase(h.first, name)) return h.second;
  }
  return std::string();
}

RecordedRequest ParseRequestHead(const std::string& head) {
  RecordedRequest request;
  std::istringstream lines(head);
  std::string line;
  if (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    words >> request.method >> request.target >> request.version;
  }
  const std::size_t question = request.target.find('?');
  request.path = request.target.substr(0, question);
  if (question != std::string::npos) request.query = request.target.substr(question + 1);
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
  }
  return request;
}

bool ClientKeepsAlive(const RecordedRequest& request) {
  if (request.HasHeader("Content-Length") && request.Header("Content-Length") != "0") return false;
  if (request.HasHeader("Transfer-Encoding")) return false;
  bool close = false;
  bool keepAlive = false;
  // Connection is a comma-separated list of tokens, and may come in several lines.
  for (const auto& header : request.headers) {
    if (!EqualsIgnoringCase(header.first, "Connection")) continue;
    std::istringstream tokens(header.second);
    std::string token;
    while (std::getline(tokens, token, ',')) {
      token = Trim(token);
      close = close || EqualsIgnoringCase(token, "close");
      keepAlive = keepAlive || EqualsIgnoringCase(token, "keep-alive");
    }
  }
  if (close) return false;
  if (request.version == "HTTP/1.1") return true;
  return request.version == "HTTP/1.0" && keepAlive;
}

std::string ToJsonLine(const RecordedRequest& request) {
  std::string line = "{\"method\":";
  AppendJsonString(request.method, &line);
  line += ",\"target\":";
  AppendJsonString(request.target, &line);
  line += ",\"path\":";
  AppendJsonString(request.path, &line);
  line += ",\"query\":";
  AppendJsonString(request.query, &line);
  line += ",\"status\":" + std::to_string(request.status);
  line += ",\"connection\":" + std::to_string(request.connection) + ",\"headers\":[";
  for (std::size_t i = 0; i < request.headers.size(); ++i) {
    line += i == 0 ? "[" : ",[";
    AppendJsonString(request.headers[i].first, &line);
    line += ",";
    AppendJsonString(request.headers[i].second, &line);
    line += "]";
  }
  line += "]}";
  return line;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

bool StatusHasNoBody(int status) {
  return status < 200 || status == 204 || status == 304;
}

std::string StatusPageBody(int status) {
  return "<html><body><h1>" + std::to_string(status) + " " + ReasonPhrase(status) + "</h1></body></html>\n";
}

std::string RedirectBody(const std::string& location) {
  return "<html><body>Moved to <a href=\"" + location + "\">" + location + "</a></body></html>\n";
}

bool PercentDecode(const std::string& text, std::string* decoded) {
  decoded->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    decoded->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

}  // namespace test_http
