// pixbake: BMP images to Tsa packets.
#include <cstdio>
#include <new>
#include <string>

#include "cli/cli.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
    SetUpStandardOutput();
    std::string current;
    try {
        return RunCommandLine(argc, argv, current);
    } catch (const std::bad_alloc&) {
        // The working arrays of a conversion did not fit in memory.
        std::fflush(stdout);
        std::fputs("\r\nAbnormal program termination\r\n", stderr);
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
