// Splitting the Windows command line. The Windows build reads its arguments
// this way; the rules are plain code, so they are checked here on every system.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line.h"

namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandLine, BlanksSeparateAndQuotesGroup) {
    const std::pair<std::string, Words> cases[] = {
        {"", {}},
        {" \t  ", {}},
        {"pixbake.exe", {"pixbake.exe"}},
        // Runs of blanks and tabs, before, between and after the words.
        {"  pixbake.exe   -n\ta.bmp \t 5\t", {"pixbake.exe", "-n", "a.bmp", "5"}},
        // The program path itself may be quoted, and then hold blanks.
        {"\"C:\\Program Files\\pixbake.exe\" a.bmp", {"C:\\Program Files\\pixbake.exe", "a.bmp"}},
        {"p \"my pics\\a b.bmp\" c.bmp", {"p", "my pics\\a b.bmp", "c.bmp"}},
        // Quotes may start or end anywhere in a word; they are dropped.
        {"p my\" \"pics\\a.bmp", {"p", "my pics\\a.bmp"}},
        {"p \"a\"b\"c d\"", {"p", "abc d"}},
        {"p a\"\"b", {"p", "ab"}},
        // Tabs and runs of blanks inside quotes are kept as they are.
        {"p \"\t12\" \"a  b\"", {"p", "\t12", "a  b"}},
        // An argument of quotes alone is an empty argument.
        {"p \"\"", {"p", ""}},
        {"p -i \"\" a.bmp", {"p", "-i", "", "a.bmp"}},
        {"p \"\"\"\"", {"p", ""}},
        // An unclosed quote runs to the end of the line.
        {"p \"open  to the end", {"p", "open  to the end"}},
        {"p \"\"\"a b", {"p", "a b"}},
        // A backslash is a folder separator, never an escape, not even
        // before a quote.
        {"p C:\\pics\\ x", {"p", "C:\\pics\\", "x"}},
        {"p \"C:\\my pics\\\" x", {"p", "C:\\my pics\\", "x"}},
        {"p a\\\"b c", {"p", "a\\b c"}},
        {"p \\\\server\\share\\a.bmp", {"p", "\\\\server\\share\\a.bmp"}},
        // No wildcard expansion.
        {"p *.bmp ?ood.bmp \"*\"", {"p", "*.bmp", "?ood.bmp", "*"}},
        // Only blanks and tabs separate: other control characters belong to
        // the word.
        {"p a\nb\rc", {"p", "a\nb\rc"}},
        // Bytes of the system code page pass through unchanged.
        {"p \"caf\xe9 \xe0.bmp\"", {"p", "caf\xe9 \xe0.bmp"}},
    };
    for (const auto& [line, words] : cases) {
        SCOPED_TRACE("command line [" + line + "]");
        EXPECT_EQ(SplitCommandLine(line), words);
    }
}

}  // namespace
