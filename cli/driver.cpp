// The command-line driver.
//
//   pixbake                            usage text, then wait for a key
//   pixbake -n a.bmp 5 b.bmp 9 ...     each file with its own number, silent
//   pixbake -i 10 a.bmp b.bmp ...      numbered upwards from 10, "Ready" each
//   pixbake a.bmp b.bmp ...            every packet numbered 0, "Ready" each
//
// Files are converted strictly in order; the first error ends the run there.
#include "cli/cli.h"

#include <cstdio>

#include "convert/convert.h"
#include "platform/platform.h"

namespace {

constexpr const char* kUsage =
    "The Simple Bmp To Tsa Packet Converter Without Any Stupid Additional Things!\n"
    "Using: pixbake -n file1.bmp number_in_dec_1 file2.bmp number_in_dec_2 ...\n"
    "       pixbake -i start_number_in_dec file1.bmp file2.bmp ...\n"
    "       pixbake file1.bmp file2.bmp ...\n"
    "Transparent color is RGB(255,0,255) (pink)\n\n";

void Convert(const std::string& input, int32_t number, std::string& current) {
    current = input;
    ConvertBitmap(input, DeriveOutputName(input), number);
    current.clear();
}

}  // namespace

// What ends a folder name in a path. (On Windows a drive prefix such as the
// "C:" of "C:name.bmp" ends one too, but it holds no "." that could be taken
// for the extension, so it needs no rule of its own.)
#ifdef _WIN32
constexpr const char* kFolderSeparators = "\\/";
#else
constexpr const char* kFolderSeparators = "/";
#endif

std::string DeriveOutputName(const std::string& input) {
    size_t nameStart = input.find_last_of(kFolderSeparators);
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    size_t dot = input.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) return input + ".tsa";
    return input.substr(0, dot + 1) + "tsa";
}

int RunCommandLine(int argc, char* argv[], std::string& current) {
    if (argc <= 1) {
        std::fputs(kUsage, stdout);
        WaitForKey();
        return 0;
    }
    const std::string mode = argv[1];
    if (mode == "-n") {
        // Pairs of file and number; an unpaired last file is passed over.
        for (int k = 2; k + 1 < argc; k += 2) {
            current = argv[k];
            int32_t number = ParseNumberStrict(argv[k + 1]);
            Convert(argv[k], number, current);
        }
    } else if (mode == "-i") {
        // The start number is read even when no file follows; a text that is
        // no number starts at 0. The count wraps like a 32-bit register.
        uint32_t number = static_cast<uint32_t>(ParseNumberOrDefault(argc > 2 ? argv[2] : "", 0));
        for (int k = 3; k < argc; ++k) {
            Convert(argv[k], static_cast<int32_t>(number), current);
            ++number;
            std::fputs("Ready\n", stdout);
        }
    } else {
        for (int k = 1; k < argc; ++k) {
            Convert(argv[k], 0, current);
            std::fputs("Ready\n", stdout);
        }
    }
    return 0;
}
