#pragma once

#include <string>
#include <vector>

// Runs one of the packaging tools the publisher drives (wixl, msibuild,
// makensis, osslsigncode) and waits for it. arguments[0] is the program,
// looked up on PATH; no shell reads the arguments, so names with blanks or
// quotes reach the tool as they are. output receives what it wrote to
// stdout and stderr together, for the operator to read when it fails.
// The tool's exit code, or -1 when it could not be run at all (not
// installed, or not on this system: the Windows build of the publisher
// makes no packages), with output saying which. Any thread.
int RunTool(const std::vector<std::string>& arguments, std::string& output);
