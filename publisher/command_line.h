#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// The options of zq_publish and its commands: "--name value" or
// "--name=value", options given once, options that may repeat, and flags
// without a value. Pure; any thread.

struct OptionNames {
  std::vector<std::string> single;    // at most once, with a value
  std::vector<std::string> repeated;  // any number of times, each with a value
  std::vector<std::string> flags;     // no value
  std::vector<std::string> required;  // among single
};

struct CommandLine {
  std::map<std::string, std::string> single;
  std::map<std::string, std::vector<std::string>> repeated;
  std::set<std::string> flags;

  bool Has(const std::string& option) const { return single.count(option) != 0; }
  // The value of a single option; empty text when it was not given.
  std::string Value(const std::string& option) const;
  std::vector<std::string> Values(const std::string& option) const;
};

// False with problem set to one line (unknown option, a value missing, an
// option given twice, a required one absent).
bool ParseCommandLine(const std::vector<std::string>& arguments, const OptionNames& names, CommandLine& parsed,
                      std::string& problem);

// Decimal digits only (at most 4), from low to high.
bool SmallNumber(const std::string& text, int low, int high, int& value);
