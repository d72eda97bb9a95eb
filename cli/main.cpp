// pixbake: BMP images to Tsa packets.
#include <cstdio>
#include <new>
#include <string>

#include "cli/cli.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>

#include <vector>

#include "platform/command_line.h"

// The C runtime would expand wildcards in the arguments it hands to main.
// pixbake splits its command line itself and expands nothing.
extern "C" {
int _dowildcard = 0;
}

// Standard error is in text mode here: each "\n" goes out as "\r\n".
constexpr const char* kAbnormal = "\nAbnormal program termination\n";
#else
constexpr const char* kAbnormal = "\r\nAbnormal program termination\r\n";
#endif

int main(int argc, char* argv[]) {
#ifdef _WIN32
    // The arguments as the command line writes them, in the system code page.
    std::vector<std::string> words = SplitCommandLine(GetCommandLineA());
    std::vector<char*> pointers;
    for (auto& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    argc = static_cast<int>(words.size());
    argv = pointers.data();
#endif
    SetUpStandardOutput();
    std::string current;
    try {
        return RunCommandLine(argc, argv, current);
    } catch (const std::bad_alloc&) {
        // The working arrays of a conversion did not fit in memory.
        std::fflush(stdout);
        std::fputs(kAbnormal, stderr);
        return 3;
    } catch (const Exception& error) {
        // One line: the file being handled, unless the message names it.
        std::fflush(stdout);
        const bool named = dynamic_cast<const EFOpenError*>(&error) != nullptr ||
                           dynamic_cast<const EFCreateError*>(&error) != nullptr;
        if (current.empty() || named)
            std::fprintf(stderr, "pixbake: %s\n", error.what());
        else
            std::fprintf(stderr, "pixbake: %s: %s\n", current.c_str(), error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "pixbake: %s%s%s\n", current.c_str(), current.empty() ? "" : ": ",
                     error.what());
        return 1;
    }
}
