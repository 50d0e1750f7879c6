#pragma once

#include <windows.h>

#include "platform/unique_resource.h"

// Win32's owners: the UniqueResource family with each kind's close function
// and "no handle" values.

// A kernel handle (process, thread, file, event, mutex). Both of Win32's
// "no handle" values, null and INVALID_HANDLE_VALUE, count as empty.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static bool IsEmpty(Type value) { return value == nullptr || value == INVALID_HANDLE_VALUE; }
  static void Free(Type value) { CloseHandle(value); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// A FindFirstFileW search, ended by FindClose; INVALID_HANDLE_VALUE is empty.
struct FindHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static bool IsEmpty(Type value) { return value == INVALID_HANDLE_VALUE || value == nullptr; }
  static void Free(Type value) { FindClose(value); }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

// Memory the system allocated with LocalAlloc for the caller (security
// descriptors, FormatMessage text).
using UniqueLocalMemory = UniqueResource<NullableTraits<HLOCAL, &LocalFree>>;

// An open registry key, ended by RegCloseKey. The predefined roots
// (HKEY_LOCAL_MACHINE and the like) are never held by one.
using UniqueRegistryKey = UniqueResource<NullableTraits<HKEY, &RegCloseKey>>;
