// Splitting the Windows command line into arguments.
#include "platform/command_line.h"

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;  // an argument has begun, even if only with quotes
    bool quoted = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument) arguments.push_back(std::move(current));
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument) arguments.push_back(std::move(current));
    return arguments;
}
