#include "update/transfer/system_proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <memory>
#include <mutex>

#include "platform/unique_handle.h"
#include "platform/unique_resource.h"
#include "update/transfer/proxy_choice.h"

namespace {

void FreeGlobalText(wchar_t* text) {
  GlobalFree(text);
}
// The strings WinHTTP hands its caller, freed with GlobalFree.
using UniqueGlobalText = UniqueResource<NullableTraits<wchar_t*, &FreeGlobalText>>;
using UniqueInternet = UniqueResource<NullableTraits<HINTERNET, &WinHttpCloseHandle>>;

// A blocked detection thread is not waited for, but it must end some time.
constexpr int kQueryTimeoutMs = 10000;

// URLs and proxy lists are ASCII; anything else makes an address that fails
// to parse, which is the wanted outcome.
std::wstring Widen(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (; text != nullptr && *text != L'\0'; ++text) narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
  return narrow;
}

// One WinHttpGetProxyForUrl, shared by the caller and the thread that runs
// it: whoever is left last frees it, so a caller that stops waiting loses
// nothing but the answer.
struct PacQuery {
  std::wstring url;
  bool autoDetect = false;
  std::wstring configUrl;
  bool answered = false;
  std::string result;  // "DIRECT", or WinHTTP's proxy list
};

void RunPacQuery(PacQuery& query) {
  UniqueInternet session(
      WinHttpOpen(L"KVT Updater/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return;
  WinHttpSetTimeouts(session.get(), kQueryTimeoutMs, kQueryTimeoutMs, kQueryTimeoutMs, kQueryTimeoutMs);
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (query.autoDetect) {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = query.configUrl.c_str();
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttpGetProxyForUrl(session.get(), query.url.c_str(), &options, &info)) return;
  const UniqueGlobalText proxy(info.lpszProxy);
  const UniqueGlobalText bypass(info.lpszProxyBypass);
  query.result = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? Narrow(proxy.get()) : "DIRECT";
  query.answered = true;
}

DWORD WINAPI PacQueryThread(void* parameter) {
  const std::unique_ptr<std::shared_ptr<PacQuery>> held(static_cast<std::shared_ptr<PacQuery>*>(parameter));
  try {
    RunPacQuery(**held);
  } catch (...) {
  }
  return 0;
}

// The PAC result for url, or false when none came within budget.
bool AskPac(const std::shared_ptr<PacQuery>& query, std::chrono::milliseconds budget, std::string& result) {
  if (budget.count() <= 0) return false;
  auto* forThread = new std::shared_ptr<PacQuery>(query);
  const UniqueHandle thread(CreateThread(nullptr, 0, &PacQueryThread, forThread, 0, nullptr));
  if (!thread) {
    delete forThread;
    return false;
  }
  // The thread's end orders its writes before these reads; after a time-out
  // nothing of the query is read again.
  if (WaitForSingleObject(thread.get(), static_cast<DWORD>(budget.count())) != WAIT_OBJECT_0) return false;
  if (!query->answered) return false;
  result = query->result;
  return true;
}

struct SystemProxyState {
  std::mutex lock;
  bool autoDetectFailed = false;
  std::wstring failedConfigUrl;
  std::map<std::string, std::vector<std::string>> choices;
};

SystemProxyState& State() {
  static SystemProxyState state;
  return state;
}

// "scheme://host:port" as the URL spells it: what a cached answer is kept by.
std::string OriginOf(const std::string& url) {
  const std::size_t hostStart = url.find("://");
  if (hostStart == std::string::npos) return url;
  return url.substr(0, url.find_first_of("/?#", hostStart + 3));
}

struct UserSettings {
  bool read = false;
  bool autoDetect = false;
  UniqueGlobalText configUrl;
  UniqueGlobalText proxy;
  UniqueGlobalText bypass;
};

void ReadUserSettings(UserSettings& user) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  user.read = WinHttpGetIEProxyConfigForCurrentUser(&config) != FALSE;
  user.autoDetect = user.read && config.fAutoDetect;
  user.configUrl.Reset(config.lpszAutoConfigUrl);
  user.proxy.Reset(config.lpszProxy);
  user.bypass.Reset(config.lpszProxyBypass);
}

// Detection, then the PAC file, each at most once a run when it fails.
bool AskUserPac(const UserSettings& user, const std::string& url, std::chrono::steady_clock::time_point deadline,
                std::string& result) {
  SystemProxyState& state = State();
  const auto left = [deadline] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  };
  bool tryDetection = false;
  bool tryConfigUrl = false;
  const std::wstring configUrl = user.configUrl ? user.configUrl.get() : L"";
  {
    const std::lock_guard<std::mutex> hold(state.lock);
    tryDetection = user.autoDetect && !state.autoDetectFailed;
    tryConfigUrl = !configUrl.empty() && configUrl != state.failedConfigUrl;
  }
  if (tryDetection) {
    auto query = std::make_shared<PacQuery>();
    query->url = Widen(url);
    query->autoDetect = true;
    if (AskPac(query, left(), result)) return true;
    const std::lock_guard<std::mutex> hold(state.lock);
    state.autoDetectFailed = true;
  }
  if (tryConfigUrl) {
    auto query = std::make_shared<PacQuery>();
    query->url = Widen(url);
    query->configUrl = configUrl;
    if (AskPac(query, left(), result)) return true;
    const std::lock_guard<std::mutex> hold(state.lock);
    state.failedConfigUrl = configUrl;
  }
  return false;
}

std::vector<std::string> AskWindows(const std::string& url, const ProxyTarget& target,
                                    std::chrono::milliseconds budget) {
  UserSettings user;
  ReadUserSettings(user);
  std::string pacResult;
  if (user.read && AskUserPac(user, url, std::chrono::steady_clock::now() + budget, pacResult)) {
    return ChoicesFromPacResult(pacResult, target.scheme);
  }
  if (user.read && user.proxy && user.proxy.get()[0] != L'\0') {
    return ChoicesFromFixedProxy(Narrow(user.proxy.get()), Narrow(user.bypass.get()), target);
  }
  // A service account or a PC set up by script has no user settings, only the
  // machine's (netsh winhttp set proxy).
  WINHTTP_PROXY_INFO machine = {};
  if (!WinHttpGetDefaultProxyConfiguration(&machine)) return {""};
  const UniqueGlobalText proxy(machine.lpszProxy);
  const UniqueGlobalText bypass(machine.lpszProxyBypass);
  if (machine.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !proxy) return {""};
  return ChoicesFromFixedProxy(Narrow(proxy.get()), Narrow(bypass.get()), target);
}

}  // namespace

std::vector<std::string> SystemProxyChoices(const std::string& url, std::chrono::milliseconds budget) {
  ProxyTarget target;
  if (!ParseProxyTarget(url, target)) return {""};
  const std::string origin = OriginOf(url);
  SystemProxyState& state = State();
  {
    const std::lock_guard<std::mutex> hold(state.lock);
    const auto known = state.choices.find(origin);
    if (known != state.choices.end()) return known->second;
  }
  std::vector<std::string> choices = AskWindows(url, target, budget);
  const std::lock_guard<std::mutex> hold(state.lock);
  state.choices[origin] = choices;
  return choices;
}
