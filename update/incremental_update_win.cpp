#include "update/update_manager.h"

#include "update/update_messages.h"

// Not built yet: reports failure the way the real flow does on a bad file.
int UpdateManager::RunIncrementalUpdate() {
  SendMessageW(trayWindow, kUpdateFailedMessage, 1, 1);
  return -1;
}
