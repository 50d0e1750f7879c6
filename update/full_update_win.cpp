#include "update/update_manager.h"

// Not built yet: reports a failed download (empty text, nothing sent).
std::wstring UpdateManager::RunFullUpdate() {
  return std::wstring();
}
