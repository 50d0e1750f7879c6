#include "app/single_instance.h"

HANDLE AcquireSingleInstance() {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kSingleInstanceMutexName);
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    if (mutex != nullptr) CloseHandle(mutex);
    return nullptr;
  }
  return mutex;
}
