#pragma once

// What Windows' own settings give as the proxies for a URL, in
// proxy_choice.h's form, asked of WinHTTP in the order Windows itself follows:
// the user's automatic detection (WPAD), the user's PAC file, the user's
// fixed proxy and its bypass list, then the machine's WinHTTP proxy; the
// direct connection last. Automatic detection and a PAC file are each waited
// for at most budget; one that fails or does not answer in time counts as
// none for the rest of the process run, since Windows and Wine report
// detection as on where nobody set anything. Choices are kept per scheme,
// host and port for the run, so a PAC file is read once per run for the
// update server. Any thread may call it. Elsewhere than on Windows the
// answer is the direct connection alone.

#include <chrono>
#include <string>
#include <vector>

std::vector<std::string> SystemProxyChoices(const std::string& url, std::chrono::milliseconds budget);
