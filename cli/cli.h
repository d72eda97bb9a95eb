// The command line: modes, packet numbering, output names, console text.
#pragma once

#include <string>

// Runs one invocation and returns its exit status (0 whenever it returns).
// Errors pass through; `current` names the input being handled when one is
// raised, or is empty outside a file.
int RunCommandLine(int argc, char* argv[], std::string& current);

// The input path up to and including the last "." of its file name, then
// "tsa"; a file name without "." gets ".tsa" appended. The file name follows
// the last "/" (on Windows the last "\" or "/").
std::string DeriveOutputName(const std::string& input);
