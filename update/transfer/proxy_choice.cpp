#include "update/transfer/proxy_choice.h"

#include <cstddef>

namespace {

char LowerChar(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string text) {
  for (char& c : text) c = LowerChar(c);
  return text;
}

bool IsSeparator(char c, const char* separators) {
  for (const char* s = separators; *s != '\0'; ++s) {
    if (c == *s) return true;
  }
  return false;
}

std::vector<std::string> SplitOn(const std::string& text, const char* separators) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : text) {
    if (!IsSeparator(c, separators)) {
      part += c;
    } else if (!part.empty()) {
      parts.push_back(part);
      part.clear();
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// '*' matches any run of characters, '?' nothing special: Windows' bypass
// entries know only the star.
bool MatchesPattern(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0, starP = std::string::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0;
}

void AddChoice(std::vector<std::string>& choices, const std::string& proxy) {
  for (const std::string& known : choices) {
    if (known == proxy) return;
  }
  choices.push_back(proxy);
}

}  // namespace

bool ParseProxyTarget(const std::string& url, ProxyTarget& target) {
  const std::size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos || schemeEnd == 0) return false;
  const std::size_t hostStart = schemeEnd + 3;
  std::size_t hostEnd = url.find_first_of("/?#", hostStart);
  if (hostEnd == std::string::npos) hostEnd = url.size();
  std::string authority = url.substr(hostStart, hostEnd - hostStart);
  const std::size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string host;
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    host = authority.substr(1, close - 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  if (host.empty()) return false;
  target.scheme = Lower(url.substr(0, schemeEnd));
  target.host = Lower(host);
  return true;
}

std::string NormaliseProxyAddress(const std::string& address) {
  std::string rest = address;
  const std::size_t schemeEnd = rest.find("://");
  if (schemeEnd != std::string::npos) {
    // An HTTP proxy is the only kind the program speaks to.
    if (Lower(rest.substr(0, schemeEnd)) != "http") return "";
    rest.erase(0, schemeEnd + 3);
  }
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.empty() || rest.find_first_of("/?#@ \t") != std::string::npos) return "";
  std::string host = rest;
  std::string port = "80";
  const std::size_t close = rest[0] == '[' ? rest.find(']') : std::string::npos;
  if (rest[0] == '[' && close == std::string::npos) return "";
  const std::size_t colon = rest.find(':', close == std::string::npos ? 0 : close);
  if (colon != std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (!AllDigits(port)) return "";
  }
  if (host.empty() || host == "[]") return "";
  return "http://" + Lower(host) + ":" + port;
}

std::vector<std::string> ProxiesFromList(const std::string& list, const std::string& scheme) {
  std::vector<std::string> proxies;
  for (const std::string& entry : SplitOn(list, "; \t\r\n")) {
    const std::size_t equals = entry.find('=');
    if (equals != std::string::npos && Lower(entry.substr(0, equals)) != Lower(scheme)) continue;
    const std::string proxy = NormaliseProxyAddress(equals == std::string::npos ? entry : entry.substr(equals + 1));
    if (!proxy.empty()) AddChoice(proxies, proxy);
  }
  return proxies;
}

bool BypassesProxy(const std::string& bypassList, const std::string& host) {
  const std::string name = Lower(host);
  bool loopbackThroughProxy = false;
  for (const std::string& raw : SplitOn(bypassList, "; ,\t\r\n")) {
    const std::string entry = Lower(raw);
    if (entry == "<-loopback>") {
      loopbackThroughProxy = true;
    } else if (entry == "<local>") {
      if (name.find('.') == std::string::npos && name.find(':') == std::string::npos) return true;
    } else if (MatchesPattern(entry, name)) {
      return true;
    }
  }
  return !loopbackThroughProxy && IsLoopback(name);
}

std::vector<std::string> ChoicesFromFixedProxy(const std::string& list, const std::string& bypassList,
                                               const ProxyTarget& target) {
  std::vector<std::string> choices;
  if (!BypassesProxy(bypassList, target.host)) choices = ProxiesFromList(list, target.scheme);
  choices.push_back("");
  return choices;
}

std::vector<std::string> ChoicesFromPacResult(const std::string& result, const std::string& scheme) {
  std::vector<std::string> choices;
  const std::vector<std::string> words = SplitOn(result, "; \t\r\n");
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string word = Lower(words[i]);
    if (word == "direct") {
      AddChoice(choices, "");
    } else if (word == "proxy" || word == "http") {
      // The address is the next word; a keyword with none is skipped.
      if (i + 1 < words.size()) {
        const std::string proxy = NormaliseProxyAddress(words[++i]);
        if (!proxy.empty()) AddChoice(choices, proxy);
      }
    } else if (word == "socks" || word == "socks4" || word == "socks5" || word == "https") {
      ++i;
    } else {
      for (const std::string& proxy : ProxiesFromList(words[i], scheme)) AddChoice(choices, proxy);
    }
  }
  AddChoice(choices, "");
  return choices;
}

ProxyOverride ParseProxyOverride(const std::string& setting) {
  ProxyOverride parsed;
  const std::vector<std::string> words = SplitOn(setting, " \t\r\n");
  if (words.size() != 1) return parsed;
  if (Lower(words[0]) == "direct") {
    parsed.kind = ProxyOverride::Kind::kDirect;
    return parsed;
  }
  parsed.proxy = NormaliseProxyAddress(words[0]);
  if (!parsed.proxy.empty()) parsed.kind = ProxyOverride::Kind::kProxy;
  return parsed;
}
