#include <iostream>
#include <string>
#include <vector>

#include "publisher/publisher.h"

#ifdef _WIN32
#include <windows.h>

// Wide arguments, so that Chinese paths arrive whatever the system's ANSI code page.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::wstring wide(argv[i]);
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], size, nullptr, nullptr);
    }
    arguments.push_back(utf8);
  }
  return RunPublisher(arguments, std::cout, std::cerr);
}
#else
int main(int argc, char** argv) {
  return RunPublisher(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
#endif
