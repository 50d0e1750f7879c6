#include "publisher/packages/run_tool.h"

int RunTool(const std::vector<std::string>& arguments, std::string& output) {
  // wixl and msibuild exist only as Debian's programs: packages are made by
  // the publisher on Linux, from the same release tree.
  output = (arguments.empty() ? std::string("a packaging tool") : arguments[0]) +
           ": packages are made by the Linux build of zq_publish\n";
  return -1;
}
