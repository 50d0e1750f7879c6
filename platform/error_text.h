#pragma once

#include <string>

// A system error code as the event log writes it: "Win32 error 5 (Access is
// denied.)" on Windows, "errno 13 (Permission denied)" elsewhere. The words
// are the system's own, in one line.
std::string SystemErrorText(unsigned long code);
