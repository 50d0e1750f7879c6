#pragma once

#include <windows.h>

inline constexpr wchar_t kSingleInstanceMutexName[] = L"NivaroPelmanhur";

// Creates the named mutex, owned. Returns it when this process may stay
// resident; null when another copy holds it, or when it cannot be created at
// all (treated like a running copy). The handle is kept open for the life of
// the process and never released: the system frees it at exit.
HANDLE AcquireSingleInstance();
