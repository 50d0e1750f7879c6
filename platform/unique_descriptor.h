#pragma once

#include <unistd.h>

#include "platform/unique_resource.h"

// POSIX only (the publisher's Linux side): an open file descriptor, of a file
// or a pipe's end; -1 is none.
struct FileDescriptorTraits {
  using Type = int;
  static Type Empty() { return -1; }
  static bool IsEmpty(Type value) { return value < 0; }
  static void Free(Type value) { ::close(value); }
};
using UniqueFileDescriptor = UniqueResource<FileDescriptorTraits>;
