#pragma once

// The process's peak memory so far, in bytes: the peak working set on
// Windows, the peak resident set elsewhere. 0 when the system does not say.
long long PeakMemoryBytes();
