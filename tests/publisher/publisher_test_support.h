#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "publisher/publisher.h"
#include "publisher/release_tree.h"
#include "publisher/smaller_forms.h"

// What the publisher tests share: running zq_publish, and a scratch
// directory whose paths travel as the UTF-8 text its command line takes.

// One run of zq_publish as a test sees it: its exit code and what it printed.
struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

inline Outcome RunZqPublish(const std::vector<std::string>& arguments, const FormEncoder& encoder = FormEncoder()) {
  std::ostringstream out, err;
  Outcome outcome;
  outcome.code = RunPublisher(arguments, out, err, encoder);
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

// A throw-away directory, removed with all it holds when the test ends.
class PublisherScratch {
 public:
  const fs::path& path() const { return scratch_.path(); }
  // The UTF-8 text of a path below this directory, for the command line.
  std::string Text(const std::string& relative) const {
    std::string text;
    Utf8FromPath(path() / PathFromUtf8(relative), text);
    return text;
  }
  void Write(const std::string& relative, const std::string& bytes) const {
    const fs::path target = path() / PathFromUtf8(relative);
    fs::create_directories(target.parent_path());
    ASSERT_TRUE(WriteWholeFile(target, bytes)) << relative;
  }
  std::string Read(const std::string& relative) const {
    std::string bytes;
    EXPECT_TRUE(ReadWholeFile(path() / PathFromUtf8(relative), bytes)) << relative;
    return bytes;
  }

 private:
  test_files::TempDirectory scratch_{"zq_publish_test_"};
};

// The head of an x86-64 (0x8664) or x86 (0x014C) program image: enough for
// the publisher to read a release's architecture, not a program to run.
inline std::string ProgramImage(std::uint16_t machine) {
  std::string image(0x200, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = static_cast<char>(0x80);
  image.replace(0x80, 4, std::string("PE\0\0", 4));
  image[0x84] = static_cast<char>(machine & 0xFF);
  image[0x85] = static_cast<char>(machine >> 8);
  return image;
}
