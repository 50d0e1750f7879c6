#pragma once

// Which proxy a request takes, decided from the text Windows reports: a proxy
// list as WinHTTP gives it, a bypass list, a PAC result, and the program's own
// override in the settings file. Values in, values out; the Win32 side that
// asks Windows is system_proxy_win.cpp. A proxy is given as libcurl's
// CURLOPT_PROXY text, "http://host:port"; the empty text means a direct
// connection. A list of choices is in order of preference and always ends
// with the direct one, which is where an unreachable proxy falls back to.

#include <string>
#include <vector>

// The parts of a request's URL that a proxy decision looks at, lower case.
struct ProxyTarget {
  std::string scheme;  // "http", "https"
  std::string host;    // without brackets for IPv6
};

// False when url has no "scheme://host".
bool ParseProxyTarget(const std::string& url, ProxyTarget& target);

// One proxy address as Windows or an administrator writes it ("host:port",
// "http://host:port/", "host", "[::1]:3128") in libcurl's form; WinHTTP's
// default port 80 when none is given. Empty when it is no HTTP proxy address.
std::string NormaliseProxyAddress(const std::string& address);

// The proxies of a WinHTTP proxy list for requests of scheme: entries
// separated by ';' or blanks, each "host:port" (every scheme) or
// "scheme=host:port" (that scheme only; ftp= and socks= never apply).
std::vector<std::string> ProxiesFromList(const std::string& list, const std::string& scheme);

// Whether host skips the proxy by the bypass list: entries separated by ';',
// ',' or blanks; "<local>" matches host names without a dot; '*' matches any
// run of characters ("*.school.lan", "10.*"); case does not count. Loopback
// (localhost, 127.*, ::1) is always skipped unless the list says
// "<-loopback>", as Windows does.
bool BypassesProxy(const std::string& bypassList, const std::string& host);

// The choices a fixed proxy list and its bypass list give for target.
std::vector<std::string> ChoicesFromFixedProxy(const std::string& list, const std::string& bypassList,
                                               const ProxyTarget& target);

// The choices of a PAC result: "PROXY a:1; PROXY b:2; DIRECT" as a script
// returns it, or the proxy list WinHTTP makes of it ("a:1", "a:1;b:2").
// "DIRECT" is the direct connection; SOCKS entries are left out.
std::vector<std::string> ChoicesFromPacResult(const std::string& result, const std::string& scheme);

// The settings file's proxy override.
struct ProxyOverride {
  enum class Kind {
    kFollowSystem,  // no key, an empty value, or one that is no address
    kDirect,        // "DIRECT", any case
    kProxy,         // an address
  };
  Kind kind = Kind::kFollowSystem;
  std::string proxy;  // kProxy: the normalised address
};

ProxyOverride ParseProxyOverride(const std::string& setting);
