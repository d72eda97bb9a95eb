#include "tests/run_program.h"

#include "tests/bmp_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testrun {

namespace {

// A child gets default signal handling, whatever the test runner set up.
void ResetSignalsInChild() {
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

ExitState Decode(int status) {
    ExitState state;
    state.ended = true;
    state.exited = WIFEXITED(status);
    state.code = state.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    return state;
}

std::string Describe(const std::vector<std::string>& argv) {
    std::string text;
    for (const auto& word : argv) text += (text.empty() ? "'" : " '") + word + "'";
    return text;
}

}  // namespace

pid_t StartChild(const std::vector<std::string>& argv, const fs::path& folder, const std::function<bool()>& setUp) {
    std::vector<std::string> words = argv;
    std::vector<char*> pointers;
    for (auto& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    const std::string folderText = folder.string();

    const pid_t pid = fork();
    if (pid != 0) return pid;
    ResetSignalsInChild();
    setsid();
    if (!setUp() || chdir(folderText.c_str()) != 0) _exit(126);
    execvp(pointers[0], pointers.data());
    _exit(127);
}

ExitState WaitUntil(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) return Decode(status);
        if (got < 0 && errno != EINTR) return {};
        if (Clock::now() >= deadline) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

ExitState KillAndReap(pid_t pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);  // in case it never got as far as its own session
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return Decode(status);
}

RunResult RunProgram(const Launch& launch) {
    RunResult result;
    const std::string outText = launch.outFile.string();
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (pipe2(errPipe, O_CLOEXEC) != 0 ||
        (launch.redirect == Redirect::Pipe && pipe2(outPipe, O_CLOEXEC) != 0)) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }

    const pid_t pid = StartChild(launch.argv, launch.folder, [&] {
        if (launch.fileSizeLimit != RLIM_INFINITY) {
            const struct rlimit limit = {launch.fileSizeLimit, launch.fileSizeLimit};
            if (launch.ignoreFileSizeSignal && signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return false;
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
        }
        for (const auto& [name, value] : launch.environment)
            if (setenv(name.c_str(), value.c_str(), 1) != 0) return false;
        const int in = open("/dev/null", O_RDONLY);
        const int out = launch.redirect == Redirect::Pipe
                            ? outPipe[1]
                            : open(outText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        return in >= 0 && out >= 0 && dup2(in, 0) >= 0 && dup2(out, 1) >= 0 && dup2(errPipe[1], 2) >= 0;
    });
    close(errPipe[1]);
    if (outPipe[1] >= 0) close(outPipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        close(errPipe[0]);
        if (outPipe[0] >= 0) close(outPipe[0]);
        return result;
    }

    // Both pipes are drained together, so a child that fills one never stalls.
    const auto deadline = Clock::now() + launch.safetyTimeout;
    struct Source {
        int fd;
        std::string* text;
    };
    std::vector<Source> sources{{errPipe[0], &result.err}};
    if (outPipe[0] >= 0) sources.push_back({outPipe[0], &result.out});
    bool timedOut = false;
    while (!sources.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        std::vector<pollfd> fds;
        for (const auto& source : sources) fds.push_back({source.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        for (size_t i = fds.size(); i-- > 0;) {
            if (fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sources[i].text->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    for (const auto& source : sources) close(source.fd);

    ExitState state = timedOut ? ExitState{} : WaitUntil(pid, deadline);
    if (!state.ended) {
        ADD_FAILURE() << Describe(launch.argv) << " did not end within the safety timeout";
        state = KillAndReap(pid);
    }
    result.exited = state.exited;
    result.code = state.code;
    // A device such as /dev/full is not read back.
    if (launch.redirect == Redirect::File && fs::is_regular_file(launch.outFile)) result.out = ReadFile(launch.outFile);
    return result;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

void WriteSolidBitmap(const fs::path& path, int width, int height, uint32_t colour) {
    const auto count = static_cast<size_t>(width) * static_cast<size_t>(height);
    bmptest::WriteFile(path.string(), bmptest::MakeColourBmp(width, height, std::vector<uint32_t>(count, colour)));
}

std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.insert(fs::relative(entry.path(), folder).string());
    return names;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (i) text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

int32_t PacketNumber(const fs::path& packet) {
    const std::string bytes = ReadFile(packet);
    if (bytes.size() < 24 || bytes.compare(0, 16, kMagic) != 0) {
        ADD_FAILURE() << packet.string() << " is not a packet: " << Hex(bytes.substr(0, 24));
        return 0;
    }
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= uint32_t{static_cast<unsigned char>(bytes[16 + i])} << (8 * i);
    return static_cast<int32_t>(bits);
}

void RemovePackets(const fs::path& folder) {
    for (const auto& name : Listing(folder))
        if (name.ends_with(".tsa") && fs::is_regular_file(folder / name)) fs::remove(folder / name);
}

void FolderTest::SetUp() {
    std::string pattern = (fs::path(::testing::TempDir()) / (name_ + "-XXXXXX")).string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    root_ = pattern;
    work_ = root_ / "work";
    fs::create_directory(work_);
}

void FolderTest::TearDown() {
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
}

}  // namespace testrun
