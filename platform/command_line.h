// The Windows command line as pixbake reads it (GetCommandLineA), split by a
// plain function so that the rules can be checked on every system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Runs of blanks and tabs separate the arguments. A double quote starts or
// ends a quoted stretch, whose blanks and tabs belong to the argument; the
// quotes themselves are dropped, so `"my pics"\a.bmp` is `my pics\a.bmp` and
// `""` is an empty argument. An unclosed quote runs to the end of the line. A
// backslash is an ordinary character, even before a quote, since it separates
// folders. Wildcards stay as they are. Element 0 is the program path as the
// line names it.
std::vector<std::string> SplitCommandLine(std::string_view line);
