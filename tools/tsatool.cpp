// tsatool: looks into Tsa packets and turns them back into BMP images.
//
//   tsatool info [--width W] FILE.tsa...     one line per packet on stdout
//   tsatool unpack [--width W] [--force] FILE.tsa...
//                                            FILE.bmp beside each packet
//   tsatool --help | --version
//
// Every file is handled, whatever happened to the ones before it; each one
// that fails gets one line on stderr. Exit status: 0 all handled, 1 any
// failed, 2 a usage error (nothing is read then).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "packet/inspect.h"
#include "packet/packet.h"
#include "platform/platform.h"

#ifndef TSATOOL_VERSION
#error "TSATOOL_VERSION comes from the build: the project version"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: tsatool info [--width W] FILE.tsa...\n"
    "       tsatool unpack [--width W] [--force] FILE.tsa...\n";

constexpr const char* kHelp =
    "Looks into Tsa packets made by pixbake.\n"
    "\n"
    "Commands:\n"
    "  info       print one line per packet: the file, packet number, width x height,\n"
    "             form, pixel count, transparent pixels, file size and the size the\n"
    "             same pixels take in the other form\n"
    "  unpack     write a 32-bit BMP with alpha beside each packet (FILE.bmp), which\n"
    "             pixbake converts back into the same packet; an existing file is\n"
    "             left alone\n"
    "\n"
    "Options:\n"
    "  --width W  the packets are W pixels wide: settles a size that the header\n"
    "             leaves open (width and height of 256 or more)\n"
    "  --force    unpack: replace a file that is in the BMP's place\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Exit status: 0 when every file was handled, 1 when any was not (one line on\n"
    "standard error each), 2 for a wrong command line. See tsatool(1) and tsa(5).\n";

enum class Command { Info, Unpack };

struct Options {
    Command command = Command::Info;
    std::optional<uint64_t> width;
    bool force = false;
    std::vector<std::string> files;
};

struct UsageError {
    std::string message;
};

// A width is decimal digits only, 1 to the largest BMP width.
uint64_t ParseWidth(const std::string& text) {
    uint64_t value = 0;
    bool valid = !text.empty() && text.size() <= 10;
    for (char c : text) {
        if (c < '0' || c > '9') valid = false;
        if (valid) value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!valid || value < 1 || value > 2147483647)
        throw UsageError{"invalid width '" + text + "': a whole number from 1 to 2147483647"};
    return value;
}

// Returns nullopt when --help or --version was answered.
std::optional<Options> ParseCommandLine(int argc, char* argv[]) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return std::nullopt;
        }
        if (arg == "--version") {
            std::fputs("tsatool " TSATOOL_VERSION "\n", stdout);
            return std::nullopt;
        }
    }

    Options options;
    std::optional<std::string> command;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--width") {
            if (i + 1 == args.size()) throw UsageError{"--width needs a value"};
            options.width = ParseWidth(args[++i]);
        } else if (!optionsEnded && arg.starts_with("--width=")) {
            options.width = ParseWidth(arg.substr(8));
        } else if (!optionsEnded && arg == "--force") {
            options.force = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"unknown option '" + arg + "'"};
        } else if (!command) {
            command = arg;
        } else {
            options.files.push_back(arg);
        }
    }
    if (!command) throw UsageError{"no command given"};
    if (*command == "info") {
        options.command = Command::Info;
    } else if (*command == "unpack") {
        options.command = Command::Unpack;
    } else {
        throw UsageError{"unknown command '" + *command + "'"};
    }
    if (options.files.empty()) throw UsageError{"no FILE given"};
    return options;
}

#ifdef _WIN32
constexpr const char* kFolderSeparators = "\\/";
#else
constexpr const char* kFolderSeparators = "/";
#endif

// The packet path up to and including the last "." of its file name, then
// "bmp"; a file name without "." gets ".bmp" appended. The file name follows
// the last folder separator, as in pixbake's packet names.
std::string BmpNameFor(const std::string& packet) {
    const size_t slash = packet.find_last_of(kFolderSeparators);
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = packet.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) return packet + ".bmp";
    return packet.substr(0, dot + 1) + "bmp";
}

void Handle(const Options& options, const std::string& file) {
    TMemoryStream bytes;
    bytes.LoadFromFile(file);
    const DecodedPacket packet = ReadPacket(bytes.Memory(), bytes.Size());
    if (options.command == Command::Info) {
        const PacketFacts facts = InspectPacket(packet, bytes.Size(), options.width);
        std::fputs((FormatInfoLine(file, facts) + "\n").c_str(), stdout);
        return;
    }
    const PacketSize size = ChooseSize(packet, options.width);
    const std::string output = BmpNameFor(file);
    if (output == file) throw Exception("the BMP would take the packet's own name; rename the packet first");
    // The BMP in that place is often the image the packet was made from,
    // which has more colour than the packet: keep it unless told otherwise.
    std::error_code error;
    if (!options.force && std::filesystem::exists(std::filesystem::symlink_status(output, error)))
        throw Exception(output + " already exists; --force replaces it");
    TMemoryStream bmp;
    WriteUnpackedBmp(packet.words, size, bmp);
    TFileStream stream(output);
    stream.Write(bmp.Memory(), bmp.Size());
    stream.Commit();
}

}  // namespace

int main(int argc, char* argv[]) {
    std::optional<Options> options;
    try {
        options = ParseCommandLine(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tsatool: %s\n%sTry 'tsatool --help' for more information.\n",
                     error.message.c_str(), kUsage);
        return 2;
    }

    bool failed = false;
    if (options) {
        for (const std::string& file : options->files) {
            try {
                Handle(*options, file);
                continue;
            } catch (const EFOpenError& error) {
                std::fprintf(stderr, "tsatool: %s\n", error.what());  // the message names the file
            } catch (const EFCreateError& error) {
                std::fprintf(stderr, "tsatool: %s\n", error.what());
            } catch (const std::bad_alloc&) {
                std::fprintf(stderr, "tsatool: %s: out of memory\n", file.c_str());
            } catch (const std::exception& error) {
                std::fprintf(stderr, "tsatool: %s: %s\n", file.c_str(), error.what());
            }
            failed = true;
        }
    }

    // Lines that never reached standard output (a full disk, a closed pipe
    // end) are a failure too.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "tsatool: write error on standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return failed ? 1 : 0;
}
