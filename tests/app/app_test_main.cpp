#include <gtest/gtest.h>

#include <cstdio>

#include "tests/app/app_test_environment.h"
#include "tests/support/wine_support.h"

std::wstring g_buildDirectory;
std::wstring g_peerBuildDirectory;

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: app_tests <build directory> [<other architecture's build directory>]\n");
    return 2;
  }
  g_buildDirectory = WinePathFromUnix(argv[1]);
  if (argc > 2) g_peerBuildDirectory = WinePathFromUnix(argv[2]);
  return RUN_ALL_TESTS();
}
