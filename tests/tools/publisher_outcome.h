#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tools/publisher/publisher.h"
#include "tools/publisher/smaller_forms.h"

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
