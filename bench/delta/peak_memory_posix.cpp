#include "bench/delta/peak_memory.h"

#include <sys/resource.h>

long long PeakMemoryBytes() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<long long>(usage.ru_maxrss) * 1024;  // Linux counts KiB
}
