#include "tests/server/test_http_server.h"

#include "tests/server/byte_ranges.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace test_http {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr auto kRequestHeadTimeLimit = std::chrono::seconds(10);
constexpr int kSendTimeoutMs = 10000;
constexpr int kSliceMs = 50;

// The file under root that a URL path names, refusing any way out of root.
bool ResolveUnderRoot(const std::string& root, const std::string& urlPath, std::filesystem::path* file) {
  std::string decoded;
  if (!PercentDecode(urlPath, &decoded)) return false;
  std::filesystem::path result(root);
  std::size_t start = 0;
  while (start <= decoded.size()) {
    std::size_t slash = decoded.find('/', start);
    if (slash == std::string::npos) slash = decoded.size();
    const std::string segment = decoded.substr(start, slash - start);
    start = slash + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == ".." || segment.find_first_of(std::string("\\:\0", 3)) != std::string::npos) return false;
    result /= segment;
  }
  *file = result;
  return true;
}

}  // namespace

struct TestHttpServer::Connection {
  SocketHandle socket = kNoSocket;
  std::uint64_t id = 0;
  std::thread thread;
  std::atomic<bool> done{false};
};

struct TestHttpServer::Answer {
  int status = 200;
  std::string contentType = "application/octet-stream";
  std::string location;
  std::string etag;
  bool acceptRanges = false;
  std::string contentRange;
  std::string body;
};

TestHttpServer::TestHttpServer(ServerOptions options) : options_(std::move(options)) {}

TestHttpServer::~TestHttpServer() {
  Stop();
}

bool TestHttpServer::Start() {
  if (acceptThread_.joinable()) return true;
  sockets_ = std::make_unique<SocketLibrary>();
  if (!sockets_->ok()) return false;
  listenSocket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listenSocket_ == kNoSocket) return false;
#ifndef _WIN32
  // A standalone server restarted on its fixed port must not wait for TIME_WAIT.
  // (On Windows the same option would let another program take the port.)
  const int reuse = 1;
  setsockopt(listenSocket_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
#endif
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<unsigned short>(options_.port));
  socklen_t length = sizeof address;
  if (bind(listenSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenSocket_, 64) != 0 ||
      getsockname(listenSocket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    CloseSocket(listenSocket_);
    listenSocket_ = kNoSocket;
    return false;
  }
  port_ = ntohs(address.sin_port);
  stopping_ = false;
  acceptThread_ = std::thread(&TestHttpServer::AcceptLoop, this);
  return true;
}

void TestHttpServer::Stop() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  CloseSocket(listenSocket_);
  listenSocket_ = kNoSocket;
  sockets_.reset();
}

std::string TestHttpServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void TestHttpServer::SetResource(const std::string& path, const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  resources_[path] = body;
}

void TestHttpServer::SetFault(const std::string& path, const ResponsePlan& plan) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[path] = plan;
  faultUses_.erase("set\n" + path);
}

std::vector<RecordedRequest> TestHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t TestHttpServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

void TestHttpServer::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

void TestHttpServer::AcceptLoop() {
  std::vector<std::unique_ptr<Connection>> connections;
  std::uint64_t lastId = 0;
  while (!stopping_) {
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](std::unique_ptr<Connection>& c) {
                                       if (!c->done) return false;
                                       c->thread.join();
                                       return true;
                                     }),
                      connections.end());
    if (WaitReadable(listenSocket_, kSliceMs) != 1) continue;
    const SocketHandle accepted = accept(listenSocket_, nullptr, nullptr);
    if (accepted == kNoSocket) continue;
    bool refuse = connections.size() >= kMaxConnections;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      refuse = refuse || admitted_ >= options_.maxRequests;
    }
    if (refuse) {
      CloseSocket(accepted);
      continue;
    }
    SetSendTimeout(accepted, kSendTimeoutMs);
    SetNoDelay(accepted);
    auto connection = std::make_unique<Connection>();
    connection->socket = accepted;
    connection->id = ++lastId;
    Connection* raw = connection.get();
    connection->thread = std::thread([this, raw] {
      Serve(raw);
      raw->done = true;
    });
    connections.push_back(std::move(connection));
  }
  for (auto& connection : connections) connection->thread.join();
}

bool TestHttpServer::Pause(double seconds, Connection* connection) const {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (!stopping_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return true;
    const int slice = static_cast<int>(std::min<long long>(left, kSliceMs));
    const int ready = WaitReadable(connection->socket, slice);
    if (ready < 0) return false;
    if (ready > 0) {
      // Readable while we owe the answer: either the client hung up, or its
      // request (or the next one) is waiting, to be read after this pause; it
      // must not make this loop spin.
      char byte;
      if (ReceiveSome(connection->socket, &byte, 1, true) <= 0) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    }
  }
  return false;
}

ResponsePlan TestHttpServer::PlanFor(const std::string& path, std::string* contentPath) {
  std::string countedAs;
  const ResponsePlan plan = FindPlan(path, contentPath, &countedAs);
  if (plan.times == 0) return plan;
  std::lock_guard<std::mutex> lock(mutex_);
  int& uses = faultUses_[countedAs];
  if (uses < plan.times) {
    ++uses;
    return plan;
  }
  // A server without range support does not gain it once its faults are
  // spent, or "close-mid,times=1,no-ranges" could not test a retry against one.
  ResponsePlan normal;
  normal.ignoreRanges = plan.ignoreRanges;
  return normal;
}

ResponsePlan TestHttpServer::FindPlan(const std::string& path, std::string* contentPath, std::string* countedAs) const {
  ResponsePlan plan;
  *contentPath = path;
  std::string tokens;
  std::string rest;
  // The three sources never share a count, even where their keys' paths agree.
  if (SplitFaultPrefix(path, &tokens, &rest)) {
    *contentPath = rest;
    *countedAs = "url\n" + path;
    if (!ParseFaultTokens(tokens, &plan)) plan.status = 400;
    return plan;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = faults_.find(path);
    *countedAs = "set\n" + path;
    if (found != faults_.end()) return found->second;
  }
  if (!options_.faultRulesFile.empty()) {
    std::ifstream file(options_.faultRulesFile, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    int badLines = 0;
    const std::vector<FaultRule> rules = ParseFaultRules(text, &badLines);
    if (badLines > 0)
      std::fprintf(stderr, "test http server: %d bad line(s) in %s\n", badLines, options_.faultRulesFile.c_str());
    if (const FaultRule* rule = FindFaultRule(rules, path)) {
      *countedAs = "rule\n" + rule->pattern + "\n" + rule->tokens + "\n" + path;
      return rule->plan;
    }
  }
  return plan;
}

bool TestHttpServer::FindBody(const std::string& path, std::string* body) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = resources_.find(path);
    if (found != resources_.end()) {
      *body = found->second;
      return true;
    }
  }
  std::filesystem::path file;
  std::error_code error;
  if (options_.documentRoot.empty() || !ResolveUnderRoot(options_.documentRoot, path, &file) ||
      !std::filesystem::is_regular_file(file, error)) {
    return false;
  }
  std::ifstream stream(file, std::ios::binary);
  if (!stream) return false;
  body->assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  return true;
}

void TestHttpServer::Record(const RecordedRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(request);
  if (!options_.requestLogFile.empty()) {
    // Opened and closed per line, so a reader never sees half a line.
    std::ofstream log(options_.requestLogFile, std::ios::binary | std::ios::app);
    log << ToJsonLine(request) << '\n';
  }
}

bool TestHttpServer::AdmitRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (admitted_ >= options_.maxRequests) return false;
  ++admitted_;
  return true;
}

bool TestHttpServer::ReadRequestHead(Connection* connection, std::string* pending, std::string* head) const {
  std::string& data = *pending;
  // Also the limit on an idle kept-alive connection.
  const auto deadline = Clock::now() + kRequestHeadTimeLimit;
  std::size_t end = std::string::npos;
  while ((end = data.find("\r\n\r\n")) == std::string::npos) {
    if (stopping_ || Clock::now() > deadline || data.size() > kMaxRequestHead) return false;
    const int ready = WaitReadable(connection->socket, kSliceMs);
    if (ready < 0) return false;
    if (ready == 0) continue;
    char buffer[4096];
    const long received = ReceiveSome(connection->socket, buffer, sizeof buffer);
    if (received <= 0) return false;
    data.append(buffer, static_cast<std::size_t>(received));
  }
  *head = data.substr(0, end);
  data.erase(0, end + 4);
  return true;
}

void TestHttpServer::Serve(Connection* connection) {
  std::string pending;
  std::string head;
  bool keepAlive = Pause(options_.connectionDelayMs / 1000.0, connection);
  while (keepAlive && ReadRequestHead(connection, &pending, &head) && AdmitRequest()) {
    RecordedRequest request = ParseRequestHead(head);
    request.connection = connection->id;
    std::string contentPath;
    const ResponsePlan plan = PlanFor(request.path, &contentPath);
    const Answer answer = AnswerFor(request, plan, contentPath);
    request.status = answer.status;
    keepAlive = ClientKeepsAlive(request) && !PlanEndsConnection(plan);
    // Recorded before answering, so a stalled request is already visible.
    Record(request);
    keepAlive = Pause(options_.requestDelayMs / 1000.0, connection) &&
                Respond(connection, plan, answer, request.method == "HEAD", keepAlive) && keepAlive;
  }
  // Closing a socket with unread input resets the connection, which can cost
  // the client the tail of the answer: end sending, then let the client hang up.
  ShutdownSending(connection->socket);
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  while (!stopping_ && Clock::now() < deadline) {
    const int ready = WaitReadable(connection->socket, kSliceMs);
    if (ready < 0) break;
    char buffer[512];
    if (ready > 0 && ReceiveSome(connection->socket, buffer, sizeof buffer) <= 0) break;
  }
  CloseSocket(connection->socket);
}

TestHttpServer::Answer TestHttpServer::AnswerFor(const RecordedRequest& request, const ResponsePlan& plan,
                                                 const std::string& contentPath) const {
  Answer answer;
  std::string whole;
  if (plan.redirect) {
    answer.status = 302;
    answer.location = !plan.location.empty()  ? plan.location
                      : request.query.empty() ? contentPath
                                              : contentPath + "?" + request.query;
    answer.contentType = "text/html";
    answer.body = RedirectBody(answer.location);
  } else if (plan.status != 200) {
    answer.status = plan.status;
    answer.contentType = "text/html";
    answer.body = StatusPageBody(plan.status);
  } else if (FindBody(contentPath, &whole)) {
    answer.etag = EntityTag(whole);
    answer.acceptRanges = !plan.ignoreRanges;
    const RangeChoice range = plan.ignoreRanges ? RangeChoice() : ChooseRange(request, answer.etag, whole.size());
    if (range.kind == RangeChoice::kWhole) {
      answer.body = std::move(whole);
    } else if (range.kind == RangeChoice::kPart) {
      answer.status = 206;
      answer.contentRange = ContentRangeValue(range, whole.size());
      answer.body =
          whole.substr(static_cast<std::size_t>(range.first), static_cast<std::size_t>(range.last - range.first + 1));
    } else {
      answer.status = 416;
      answer.etag.clear();
      answer.acceptRanges = false;
      answer.contentRange = ContentRangeValue(range, whole.size());
    }
  } else if (!plan.emptyBody) {
    // With "empty" even a path that serves nothing answers 200: the fault is
    // a body missing from a success, which the client has to notice.
    answer.status = 404;
    answer.contentType = "text/html";
    answer.body = StatusPageBody(404);
  }
  if (plan.emptyBody || StatusHasNoBody(answer.status)) answer.body.clear();
  return answer;
}

bool TestHttpServer::Respond(Connection* connection, const ResponsePlan& plan, const Answer& answer, bool headOnly,
                             bool keepAlive) const {
  if (!Pause(plan.stallBeforeSeconds, connection)) return false;
  const bool hasBody = !StatusHasNoBody(answer.status);
  const bool chunked = plan.chunked && hasBody;
  std::string headers = "HTTP/1.1 " + std::to_string(answer.status) + " " + ReasonPhrase(answer.status) + "\r\n";
  headers += "Content-Type: " + answer.contentType + "\r\n";
  if (!answer.etag.empty()) headers += "ETag: " + answer.etag + "\r\n";
  if (answer.acceptRanges) headers += "Accept-Ranges: bytes\r\n";
  if (!answer.contentRange.empty()) headers += "Content-Range: " + answer.contentRange + "\r\n";
  if (!answer.location.empty()) headers += "Location: " + answer.location + "\r\n";
  // As a proxy must; Basic is the scheme a client may never answer with.
  if (answer.status == 407) headers += "Proxy-Authenticate: Basic realm=\"test\"\r\n";
  if (chunked) {
    headers += "Transfer-Encoding: chunked\r\n";
  } else if (hasBody && !plan.endless) {
    headers += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
  }
  headers += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  if (!SendAll(connection->socket, headers.data(), headers.size())) return false;
  if (headOnly || !hasBody) return true;

  if (plan.endless || plan.dripSeconds > 0) return SendUnbounded(connection, plan, answer.body, chunked);
  const std::string& body = answer.body;
  const std::size_t half = body.size() / 2;
  const bool breakAtHalf = plan.closeMidBody || plan.stallMidSeconds > 0;
  std::vector<std::size_t> cuts;
  for (int i = 1; i < plan.pieces; ++i) cuts.push_back(body.size() * static_cast<std::size_t>(i) / plan.pieces);
  if (breakAtHalf) cuts.push_back(half);
  cuts.push_back(body.size());
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

  std::size_t sent = 0;
  for (const std::size_t cut : cuts) {
    if (cut > sent) {
      std::string segment = body.substr(sent, cut - sent);
      if (chunked) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", segment.size());
        segment = size + segment + "\r\n";
      }
      if (!SendAll(connection->socket, segment.data(), segment.size())) return false;
      sent = cut;
    }
    if (breakAtHalf && cut == half) {
      if (plan.closeMidBody || !Pause(plan.stallMidSeconds, connection)) return false;
    } else if (cut < body.size() && !Pause(plan.pieceDelaySeconds, connection)) {
      return false;
    }
  }
  return !chunked || SendAll(connection->socket, "0\r\n\r\n", 5);
}

bool TestHttpServer::SendUnbounded(Connection* connection, const ResponsePlan& plan, const std::string& body,
                                   bool chunked) const {
  const std::string filler(plan.dripSeconds > 0 ? 1 : 64 * 1024, 'z');
  std::size_t sent = 0;
  while (!stopping_) {
    std::string segment;
    if (sent < body.size()) {
      segment = body.substr(sent, plan.dripSeconds > 0 ? 1 : std::string::npos);
    } else if (plan.endless) {
      segment = filler;
    } else {
      break;
    }
    sent += segment.size();
    if (chunked) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", segment.size());
      segment = size + segment + "\r\n";
    }
    if (!SendAll(connection->socket, segment.data(), segment.size())) return false;
    if (plan.dripSeconds > 0 && !Pause(plan.dripSeconds, connection)) return false;
  }
  return !stopping_ && (!chunked || SendAll(connection->socket, "0\r\n\r\n", 5));
}

}  // namespace test_http
