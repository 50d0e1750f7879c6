#include "launch/home_shell.h"

#include <gtest/gtest.h>

namespace {

TEST(BuildHomeShellParameters, OneLeadingBlankAndTwoBeforeTheSwitches) {
  EXPECT_EQ(BuildHomeShellParameters(L"http://www.zenquilo.example/", L"C:\\PROG~1\\ZENQ~1\\"),
            L" --url=http://www.zenquilo.example/  --enable-media-stream --enable-file-cookies "
            L"--cache-path=\"C:\\PROG~1\\ZENQ~1\\cache\\sc\"");
}

TEST(BuildHomeShellParameters, TheAddressIsPassedAsItStands) {
  EXPECT_EQ(BuildHomeShellParameters(L"http://a.example/x y?\x4E2D", L"D:\\"),
            L" --url=http://a.example/x y?\x4E2D  --enable-media-stream --enable-file-cookies "
            L"--cache-path=\"D:\\cache\\sc\"");
  EXPECT_EQ(BuildHomeShellParameters(L"", L""),
            L" --url=  --enable-media-stream --enable-file-cookies --cache-path=\"cache\\sc\"");
}

}  // namespace
