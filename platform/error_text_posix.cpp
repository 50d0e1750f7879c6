#include "platform/error_text.h"

#include <cstring>

std::string SystemErrorText(unsigned long code) {
  return "errno " + std::to_string(code) + " (" + std::strerror(static_cast<int>(code)) + ")";
}
