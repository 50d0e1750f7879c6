#include "update/transfer/proxy_route.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

#include "platform/event_log.h"
#include "update/transfer/download_policy.h"
#include "update/transfer/proxy_choice.h"
#include "update/transfer/system_proxy.h"

namespace {

struct ProxyRoute {
  std::mutex lock;
  ProxyOverride override;
  std::vector<std::string> unreachable;
  // The proxies the log has named this check: each once, not once a file.
  std::vector<std::string> logged;
  ProxyChoiceSource source = &SystemProxyChoices;
};

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

ProxyRoute& Route() {
  static ProxyRoute route;
  return route;
}

}  // namespace

void SetProxyOverride(const std::string& setting) {
  ProxyRoute& route = Route();
  const std::lock_guard<std::mutex> hold(route.lock);
  route.override = ParseProxyOverride(setting);
  route.unreachable.clear();
  route.logged.clear();
}

std::string ProxyForRequest(const std::string& url, std::chrono::milliseconds budget) {
  ProxyRoute& route = Route();
  std::vector<std::string> choices;
  ProxyChoiceSource source = nullptr;
  {
    const std::lock_guard<std::mutex> hold(route.lock);
    if (route.override.kind == ProxyOverride::Kind::kDirect) return "";
    if (route.override.kind == ProxyOverride::Kind::kProxy) {
      choices = {route.override.proxy, ""};
    } else {
      source = route.source;
    }
  }
  // Outside the lock: the system may take its whole budget to answer.
  if (source != nullptr) choices = source(url, budget);
  const std::lock_guard<std::mutex> hold(route.lock);
  for (const std::string& choice : choices) {
    if (Contains(route.unreachable, choice)) continue;
    if (!choice.empty() && !Contains(route.logged, choice)) {
      route.logged.push_back(choice);
      LogEvent("proxy: " + LoggedUrl(choice) + " for " + LoggedUrl(url));
    }
    return choice;
  }
  return "";
}

bool ReportProxyResult(const std::string& proxy, int result, bool connected) {
  // Through a proxy, libcurl connects to the proxy alone: these are the
  // proxy's failure, not the server's, which shows as a status or a reset. A
  // time-out on a connection that was made is a slow server or proxy, which
  // the direct road would not cure.
  const bool unreachable = result == CURLE_COULDNT_RESOLVE_PROXY || result == CURLE_COULDNT_CONNECT ||
                           (result == CURLE_OPERATION_TIMEDOUT && !connected);
  if (proxy.empty() || !unreachable) return false;
  ProxyRoute& route = Route();
  const std::lock_guard<std::mutex> hold(route.lock);
  if (!Contains(route.unreachable, proxy)) {
    route.unreachable.push_back(proxy);
    LogEvent("proxy: " + LoggedUrl(proxy) + " cannot be reached, " + TransferResultText(result, 0) +
             "; the next choice is taken for the rest of this check");
  }
  return true;
}

ProxyChoiceSource SetProxyChoiceSource(ProxyChoiceSource source) {
  ProxyRoute& route = Route();
  const std::lock_guard<std::mutex> hold(route.lock);
  const ProxyChoiceSource before = route.source;
  route.source = source;
  return before;
}
