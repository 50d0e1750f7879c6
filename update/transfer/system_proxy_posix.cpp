#include "update/transfer/system_proxy.h"

// No system settings to follow; the environment's http_proxy is not one
// either, so a native build behaves as Windows without a proxy does.
std::vector<std::string> SystemProxyChoices(const std::string&, std::chrono::milliseconds) {
  return {""};
}
