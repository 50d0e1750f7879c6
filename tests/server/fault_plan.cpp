#include "tests/server/fault_plan.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace test_http {
namespace {

bool ParseSeconds(const std::string& text, double limit, double* seconds) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !(value >= 0)) return false;
  *seconds = std::min(value, limit);
  return true;
}

bool ParseWhole(const std::string& text, long low, long high, long* number) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || value < low || value > high) return false;
  *number = value;
  return true;
}

}  // namespace

bool PlanEndsConnection(const ResponsePlan& plan) {
  return plan.closeMidBody || plan.stallBeforeSeconds > 0 || plan.stallMidSeconds > 0 || plan.endless ||
         plan.dripSeconds > 0;
}

bool ParseFaultTokens(const std::string& tokens, ResponsePlan* plan) {
  ResponsePlan next = *plan;
  std::size_t start = 0;
  while (start <= tokens.size()) {
    // "redirect=" owns the rest of the text, commas included.
    if (tokens.compare(start, 9, "redirect=") == 0) {
      next.redirect = true;
      next.location = tokens.substr(start + 9);
      if (next.location.empty()) return false;
      break;
    }
    std::size_t comma = tokens.find(',', start);
    if (comma == std::string::npos) comma = tokens.size();
    const std::string token = tokens.substr(start, comma - start);
    const std::size_t equals = token.find('=');
    const std::string name = token.substr(0, equals);
    const std::string value = equals == std::string::npos ? std::string() : token.substr(equals + 1);
    const bool hasValue = equals != std::string::npos;
    long number = 0;

    if (token == "ok") {
    } else if (!hasValue && ParseWhole(token, 100, 599, &number)) {
      next.status = static_cast<int>(number);
    } else if (name == "status" && ParseWhole(value, 100, 599, &number)) {
      next.status = static_cast<int>(number);
    } else if (token == "empty") {
      next.emptyBody = true;
    } else if (token == "chunked") {
      next.chunked = true;
    } else if (token == "close-mid") {
      next.closeMidBody = true;
    } else if (token == "redirect") {
      next.redirect = true;
    } else if (name == "stall-before" || name == "stall-mid") {
      double seconds = kDefaultStallSeconds;
      if (hasValue && !ParseSeconds(value, kMaxStallSeconds, &seconds)) return false;
      (name == "stall-before" ? next.stallBeforeSeconds : next.stallMidSeconds) = seconds;
    } else if (name == "pieces" && ParseWhole(value, 1, kMaxPieces, &number)) {
      next.pieces = static_cast<int>(number);
    } else if (name == "piece-delay" && ParseSeconds(value, 10, &next.pieceDelaySeconds)) {
    } else if (token == "endless") {
      next.endless = true;
    } else if (name == "drip") {
      double seconds = 1;
      if (hasValue && !ParseSeconds(value, 10, &seconds)) return false;
      if (!(seconds > 0)) return false;
      next.dripSeconds = seconds;
    } else if (token == "no-ranges") {
      next.ignoreRanges = true;
    } else if (name == "times" && ParseWhole(value, 1, kMaxTimes, &number)) {
      next.times = static_cast<int>(number);
    } else {
      return false;
    }
    start = comma + 1;
  }
  *plan = next;
  return true;
}

bool SplitFaultPrefix(const std::string& path, std::string* tokens, std::string* rest) {
  static const std::string kPrefix = "/fault/";
  if (path.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  const std::size_t slash = path.find('/', kPrefix.size());
  if (slash == std::string::npos) return false;
  *tokens = path.substr(kPrefix.size(), slash - kPrefix.size());
  *rest = path.substr(slash);
  return true;
}

std::vector<FaultRule> ParseFaultRules(const std::string& text, int* badLines) {
  std::vector<FaultRule> rules;
  int bad = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    FaultRule rule;
    if (!(words >> rule.pattern) || rule.pattern[0] == '#') continue;
    std::string extra;
    if (!(words >> rule.tokens) || (words >> extra) || !ParseFaultTokens(rule.tokens, &rule.plan)) {
      ++bad;
      continue;
    }
    rules.push_back(rule);
  }
  if (badLines != nullptr) *badLines = bad;
  return rules;
}

const FaultRule* FindFaultRule(const std::vector<FaultRule>& rules, const std::string& path) {
  for (const FaultRule& rule : rules) {
    const std::string& p = rule.pattern;
    const bool matches =
        !p.empty() && p.back() == '*' ? path.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0 : path == p;
    if (matches) return &rule;
  }
  return nullptr;
}

}  // namespace test_http
