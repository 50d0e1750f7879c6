#include "update/update_manager.h"

// Not built yet: behaves as when no update is pending.
int UpdateManager::FinalisePendingUpdate() {
  return -1;
}
