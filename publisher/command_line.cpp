#include "publisher/command_line.h"

#include <algorithm>

namespace {

bool Listed(const std::vector<std::string>& names, const std::string& option) {
  return std::find(names.begin(), names.end(), option) != names.end();
}

}  // namespace

std::string CommandLine::Value(const std::string& option) const {
  const auto found = single.find(option);
  return found == single.end() ? std::string() : found->second;
}

std::vector<std::string> CommandLine::Values(const std::string& option) const {
  const auto found = repeated.find(option);
  return found == repeated.end() ? std::vector<std::string>() : found->second;
}

bool ParseCommandLine(const std::vector<std::string>& arguments, const OptionNames& names, CommandLine& parsed,
                      std::string& problem) {
  parsed = CommandLine();
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string option = arguments[i];
    if (Listed(names.flags, option)) {
      parsed.flags.insert(option);
      continue;
    }
    std::string value;
    const size_t equals = option.find('=');
    const bool inline_value = option.compare(0, 2, "--") == 0 && equals != std::string::npos;
    if (inline_value) option.resize(equals);
    if (!Listed(names.single, option) && !Listed(names.repeated, option)) {
      problem = "unknown argument \"" + option + "\"";
      return false;
    }
    if (inline_value) {
      value = arguments[i].substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      problem = option + " needs a value";
      return false;
    }
    if (Listed(names.repeated, option)) {
      parsed.repeated[option].push_back(value);
    } else if (!parsed.single.emplace(option, value).second) {
      problem = option + " given twice";
      return false;
    }
  }
  for (const std::string& required : names.required) {
    if (!parsed.Has(required)) {
      problem = required + " is required";
      return false;
    }
  }
  return true;
}

bool SmallNumber(const std::string& text, int low, int high, int& value) {
  if (text.empty() || text.size() > 4) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::stoi(text);
  return value >= low && value <= high;
}
