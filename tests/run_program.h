// Running a built program from a test, and the file helpers the command-line
// tests share (tests/cli_test.cpp, tests/tsatool_test.cpp and the Wine tests
// in tests/windows/wine_test.cpp).
//
// Every child starts in a new session with default signal handling, so it has
// no controlling terminal unless the test gives it one, and it can never stop
// on the terminal of whoever runs the tests.
#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace testrun {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Only a safety net: a correct run takes milliseconds, a hanging one fails.
constexpr auto kSafetyTimeout = std::chrono::seconds(60);

// ------------------------------------------------------ one whole run --

enum class Redirect { Pipe, File };

struct Launch {
    std::vector<std::string> argv;  // the program (looked up in PATH without a '/') and its arguments
    fs::path folder;                // where it runs
    Redirect redirect = Redirect::Pipe;
    fs::path outFile;  // standard output with Redirect::File
    rlim_t fileSizeLimit = RLIM_INFINITY;  // caps every file the program writes
    // Over the limit a write then falls short instead of SIGXFSZ ending the
    // program. pixbake sees to that itself; Wine does not.
    bool ignoreFileSizeSignal = false;
    std::vector<std::pair<std::string, std::string>> environment;  // set for the program
    std::chrono::seconds safetyTimeout = kSafetyTimeout;
};

struct RunResult {
    bool exited = false;  // it ended through exit, not a signal
    int code = -1;        // the exit status, or the signal that ended it
    std::string out;
    std::string err;
};

// Runs the program to its end with standard input from /dev/null, standard
// error into a pipe and standard output into a pipe or the file `outFile`
// (read back into `out` when it is a regular file). A run that outlives the
// safety timeout is a test failure and is killed.
RunResult RunProgram(const Launch& launch);

// ------------------------------------- a child the test looks after itself --

// Starts argv in `folder`. `setUp` runs in the child just before, to give it
// its standard input, output and error; false gives up with exit status 126.
// Returns the child's id, or -1 when fork fails.
pid_t StartChild(const std::vector<std::string>& argv, const fs::path& folder, const std::function<bool()>& setUp);

struct ExitState {
    bool ended = false;   // the child has been reaped
    bool exited = false;  // it ended through exit, not a signal
    int code = -1;        // the exit status, or the signal that ended it
};

// Reaps the child if it ends before the deadline; otherwise it keeps running.
ExitState WaitUntil(pid_t pid, Clock::time_point deadline);

// Kills the child with everything in its session's process group, and reaps it.
ExitState KillAndReap(pid_t pid);

// ------------------------------------------------------------------ files --

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& bytes);

// A picture of one colour (0x00BBGGRR).
void WriteSolidBitmap(const fs::path& path, int width, int height, uint32_t colour);

// Every entry below the folder, as paths relative to it ("old.art/sprite").
std::set<std::string> Listing(const fs::path& folder);

// The bytes in hex, "54 69 6C ...".
std::string Hex(const std::string& bytes);

// ---------------------------------------------------------------- packets --

constexpr const char* kMagic = "TileSheetArchive";  // how every packet starts

// The packet number the file carries (bytes 16..19, little-endian); a test
// failure and 0 when it holds no packet.
int32_t PacketNumber(const fs::path& packet);

// Removes every packet file (*.tsa) below the folder.
void RemovePackets(const fs::path& folder);

// ----------------------------------------------------------------- fixture --

// A test with a fresh folder of its own, removed afterwards.
class FolderTest : public ::testing::Test {
protected:
    // `name` starts the folder's name, below the test temporary folder.
    explicit FolderTest(std::string name) : name_(std::move(name)) {}
    void SetUp() override;
    void TearDown() override;

    fs::path root_;  // holds the work folder and anything kept beside it, such as captured output
    fs::path work_;  // the folder the programs run in

private:
    std::string name_;
};

}  // namespace testrun
