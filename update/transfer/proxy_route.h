#pragma once

// The proxy every request of this process takes: the settings file's
// override when it has one, else what Windows' settings give for the URL
// (system_proxy.h). A proxy that a transfer could not reach is passed over
// for the rest of the update check, so the next request takes the next
// choice, in the end the direct connection. Any thread may call these.

#include <chrono>
#include <string>
#include <vector>

// The choices for a URL in order of preference, proxy_choice.h's form,
// spending at most budget on finding them out.
using ProxyChoiceSource = std::vector<std::string> (*)(const std::string& url, std::chrono::milliseconds budget);

// Takes the settings file's value (empty: follow the system) for the requests
// from now on, and forgets the proxies found unreachable so far: called at
// the start of every update check.
void SetProxyOverride(const std::string& setting);

// libcurl's CURLOPT_PROXY text for url: "" for a direct connection.
std::string ProxyForRequest(const std::string& url, std::chrono::milliseconds budget);

// A transfer through proxy ended with result (a CURLcode); connected tells
// whether any connection was made. When that says the proxy itself could not
// be reached (refused, not resolved, or no connection before the time ran
// out), it is passed over from now on. True when it was, so that the request
// may be made again at once.
bool ReportProxyResult(const std::string& proxy, int result, bool connected);

// Replaces where the system's choices come from and returns the one before
// (SystemProxyChoices by default). For tests; change it only while no
// transfer runs.
ProxyChoiceSource SetProxyChoiceSource(ProxyChoiceSource source);
