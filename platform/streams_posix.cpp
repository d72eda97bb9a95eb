// Files on POSIX systems: reading a whole input file and the packet output
// file, replaced in one rename, with the signals that end the process taking
// the temporary file with them.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes a descriptor when it goes out of scope.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

void TMemoryStream::LoadFromFile(const std::string& path) {
    FdGuard file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat info;
    if (file.fd < 0 || fstat(file.fd, &info) != 0 || S_ISDIR(info.st_mode))
        throw EFOpenError(CannotOpenMessage(path));

    // A regular file is read in one request of its whole size; anything else
    // (a pipe, a device) is read until it ends.
    size_t expected = S_ISREG(info.st_mode) ? static_cast<size_t>(info.st_size) : 0;
    SetSize(0);
    Reserve(expected + 1);
    for (;;) {
        if (size_ == capacity_) Reserve(capacity_ + 65536);
        ssize_t got = read(file.fd, data_ + size_, capacity_ - size_);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw EReadError(kMsgStreamRead);
        if (got == 0) break;
        size_ += static_cast<size_t>(got);
    }
}

// ------------------------------------------------------------ TFileStream --

namespace {

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The temporary file of the packet being written, so that an interrupt can
// remove it before the process ends. A fixed buffer: a signal handler may not
// allocate.
char g_pendingTemp[4096];

extern "C" void RemovePendingAndReraise(int sig) {
    if (g_pendingTemp[0] != '\0') unlink(g_pendingTemp);
    signal(sig, SIG_DFL);
    raise(sig);
}

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void InstallCleanupHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    // A file-size limit then shows as a short write, reported and cleaned up
    // like a full disk, instead of ending the process.
    signal(SIGXFSZ, SIG_IGN);
    for (int sig : kEndingSignals) {
        struct sigaction current;
        // Keep a signal ignored when it was ignored at start (nohup).
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action = {};
        action.sa_handler = RemovePendingAndReraise;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

// Creates the temporary file from the template and records its name before
// any ending signal can be handled, so no interrupt leaves it behind.
int CreateWatchedTemp(std::string& temp) {
    InstallCleanupHandlers();
    sigset_t ending, previous;
    sigemptyset(&ending);
    for (int sig : kEndingSignals) sigaddset(&ending, sig);
    sigprocmask(SIG_BLOCK, &ending, &previous);
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd >= 0 && temp.size() < sizeof g_pendingTemp)
        std::memcpy(g_pendingTemp, temp.c_str(), temp.size() + 1);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return fd;
}

void ForgetPendingTemp() { g_pendingTemp[0] = '\0'; }

}  // namespace

TFileStream::TFileStream(const std::string& path) : path_(path) {
    // The destination may be a symbolic link: replace the file it names, not
    // the link.
    std::string target = path;
    if (char* resolved = realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }

    struct stat existing;
    bool exists = stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) throw EFCreateError(CannotCreateMessage(path));
    if (exists && !S_ISREG(existing.st_mode)) {
        // A device or a pipe cannot be replaced; write to it as it is.
        fd_ = open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) throw EFCreateError(CannotCreateMessage(path));
        return;
    }
    if (exists && access(target.c_str(), W_OK) != 0) throw EFCreateError(CannotCreateMessage(path));

    // A name of our own in the destination's folder, so that the final
    // rename stays within one file system.
    std::string temp = FolderOf(target) + "/.pixbake-XXXXXX";
    fd_ = CreateWatchedTemp(temp);
    if (fd_ < 0) throw EFCreateError(CannotCreateMessage(path));
    tempPath_ = temp;
    target_ = target;

    // The new file gets the permission bits of the one it replaces, or the
    // usual ones for a new file.
    mode_t mode;
    if (exists) {
        mode = existing.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd_, mode);
}

TFileStream::~TFileStream() { Discard(); }

void TFileStream::Discard() noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!tempPath_.empty()) {
        unlink(tempPath_.c_str());
        tempPath_.clear();
        ForgetPendingTemp();
    }
}

void TFileStream::Write(const void* bytes, size_t count) {
    const uint8_t* next = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        ssize_t put = write(fd_, next, count);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            Discard();
            throw EWriteError(kMsgStreamWrite);
        }
        next += put;
        count -= static_cast<size_t>(put);
    }
}

void TFileStream::Commit() {
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        Discard();
        throw EWriteError(kMsgStreamWrite);
    }
    if (tempPath_.empty()) return;
    if (rename(tempPath_.c_str(), target_.c_str()) != 0) {
        Discard();
        throw EFCreateError(CannotCreateMessage(path_));
    }
    tempPath_.clear();
    ForgetPendingTemp();
}
