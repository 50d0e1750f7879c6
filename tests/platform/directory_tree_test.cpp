#include "platform/directory_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Prefixes = std::vector<std::string>;

TEST(DirectoryPrefixes, NamesEveryDirectoryButNotTheFile) {
  EXPECT_EQ(DirectoryPrefixes(std::string("D:\\A\\B\\c.txt")), (Prefixes{"D:\\", "D:\\A\\", "D:\\A\\B\\"}));
  EXPECT_EQ(DirectoryPrefixes(std::string("D:\\A\\B\\")), (Prefixes{"D:\\", "D:\\A\\", "D:\\A\\B\\"}));
}

TEST(DirectoryPrefixes, AcceptsBothSeparatorsMixed) {
  EXPECT_EQ(DirectoryPrefixes(std::string("D:/A\\B/c")), (Prefixes{"D:/", "D:/A\\", "D:/A\\B/"}));
  EXPECT_EQ(DirectoryPrefixes(std::wstring(L"bin/\x4E2D\x6587\\x.dll")),
            (std::vector<std::wstring>{L"bin/", L"bin/\x4E2D\x6587\\"}));
}

TEST(DirectoryPrefixes, NoSeparatorNoDirectory) {
  EXPECT_TRUE(DirectoryPrefixes(std::string("bina.dll")).empty());
  EXPECT_TRUE(DirectoryPrefixes(std::string()).empty());
}

}  // namespace
