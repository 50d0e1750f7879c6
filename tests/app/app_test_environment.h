#pragma once

#include <string>

// The build directory (as a Wine path) that holds ZenquiloStudent.exe and
// fixtures/, given to app_tests on its command line.
extern std::wstring g_buildDirectory;
// The other architecture's build directory (the same layout), for the tests
// of mixed installs; empty when not given.
extern std::wstring g_peerBuildDirectory;
