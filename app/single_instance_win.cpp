#include "app/single_instance.h"

#include "platform/unique_handle.h"

HANDLE AcquireSingleInstance() {
  UniqueHandle mutex(CreateMutexW(nullptr, TRUE, kSingleInstanceMutexName));
  // Another copy's mutex: this handle to it is closed on the way out.
  if (GetLastError() == ERROR_ALREADY_EXISTS) return nullptr;
  // Ours for the life of the process: given up unclosed, never freed here.
  return mutex.release();
}
