#pragma once

// How the test server answers one request: normally, or with one of the
// faults a client has to survive. Faults are short token lists, so a test can
// ask for one in the URL itself ("/fault/<tokens>/<path>") or name it per path
// in a rules file that the server reads again at every request.

#include <string>
#include <vector>

namespace test_http {

constexpr double kDefaultStallSeconds = 10;
constexpr double kMaxStallSeconds = 60;
constexpr int kMaxPieces = 1000;
constexpr int kMaxTimes = 1000;

struct ResponsePlan {
  // Any status but 200 answers with a small status page instead of the resource.
  int status = 200;
  // Silence before the status line.
  double stallBeforeSeconds = 0;
  // Silence after the first half of the body.
  double stallMidSeconds = 0;
  // Hang up after the first half although the headers promised the whole body.
  bool closeMidBody = false;
  // Content-Length 0, whatever the resource or status page would hold.
  bool emptyBody = false;
  // Transfer-Encoding: chunked: the client never learns the size in advance.
  bool chunked = false;
  // 302 with a Location header and a small body.
  bool redirect = false;
  // Where the redirect points; empty: the requested path without its fault prefix.
  std::string location;
  // The body goes out in this many sends with this pause between them.
  int pieces = 1;
  double pieceDelaySeconds = 0;
  // Range and If-Range are ignored, as by a server without range support: the
  // whole resource with 200, and no Accept-Ranges.
  bool ignoreRanges = false;
  // After the body, filler bytes for as long as the client reads, with no
  // Content-Length: a broken proxy or a hostile server that never finishes.
  bool endless = false;
  // Above 0: the body (filler included) goes out one byte at a time, this many
  // seconds apart: fast enough for any stall limit, slow enough never to end.
  double dripSeconds = 0;
  // The faults hold for this many requests of its path, later ones are
  // answered normally but for ignoreRanges; 0: for every request.
  int times = 0;
};

// True when the connection ends after an answer so planned: a body cut short
// or without an end can only be ended by closing, and a stall is mostly met
// by a client that gives up and hangs up mid-answer, so the connection is not
// worth keeping for another request.
bool PlanEndsConnection(const ResponsePlan& plan);

// Comma-separated tokens, applied in order onto *plan:
//   ok | <3-digit status> | status=N | empty | chunked | close-mid
//   stall-before[=S] | stall-mid[=S]   (seconds, default 10, at most 60)
//   pieces=K (1..1000) | piece-delay=S (at most 10)
//   endless     (the body, then filler until the client hangs up)
//   drip[=S]    (one byte every S seconds, default 1, at most 10)
//   no-ranges   (Range and If-Range ignored: always the whole resource)
//   times=N     (1..1000: the faults hold for the first N requests of the path
//               only, later ones are answered normally, except that no-ranges
//               holds for all of them; see SetFault)
//   redirect[=LOCATION]   (last: LOCATION is the rest of the text)
// False on anything else; *plan is then left as it was.
bool ParseFaultTokens(const std::string& tokens, ResponsePlan* plan);

// "/fault/<tokens>/<rest>" gives tokens and "/<rest>". False without that prefix.
bool SplitFaultPrefix(const std::string& path, std::string* tokens, std::string* rest);

struct FaultRule {
  std::string pattern;  // an exact path, or a path prefix when it ends in '*'
  std::string tokens;   // as written, so that an edited rule counts its times afresh
  ResponsePlan plan;
};

// One rule a line: "<pattern> <tokens>". Blank lines and lines starting with '#'
// are skipped; so are lines that do not parse, counted in *badLines when given.
std::vector<FaultRule> ParseFaultRules(const std::string& text, int* badLines);

// The first rule whose pattern matches path, or null.
const FaultRule* FindFaultRule(const std::vector<FaultRule>& rules, const std::string& path);

}  // namespace test_http
