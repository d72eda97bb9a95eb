// Input files, mapped into memory where the system allows it.
#include "platform/platform.h"

#ifdef _WIN32

// No mapping here: the file is read into the buffer.
TFileView::~TFileView() = default;

void TFileView::Open(const std::string& path) {
    buffer_.LoadFromFile(path);
    data_ = buffer_.Memory();
    size_ = buffer_.Size();
}

void TFileView::Check() const {}

#else

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The one mapping in use (one conversion at a time), for the SIGBUS handler.
uint8_t* volatile g_mappedStart = nullptr;
volatile size_t g_mappedSize = 0;
volatile sig_atomic_t g_mappedCut = 0;

// A page of the mapping lies beyond the end of a file that shrank: put a zero
// page in its place, note it, and let the read go on.
extern "C" void ReplaceMissingPage(int sig, siginfo_t* info, void*) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(g_mappedStart);
    const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
    if (start != 0 && at >= start && at - start < g_mappedSize) {
        const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        void* fixed = reinterpret_cast<void*>(at & ~(page - 1));
        if (mmap(fixed, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            g_mappedCut = 1;
            return;
        }
    }
    signal(sig, SIG_DFL);  // not ours: the usual crash
    raise(sig);
}

void WatchMapping(uint8_t* start, size_t size) {
    static bool installed = false;
    if (!installed) {
        installed = true;
        struct sigaction action = {};
        action.sa_sigaction = ReplaceMissingPage;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, nullptr);
    }
    g_mappedCut = 0;
    g_mappedSize = size;
    g_mappedStart = start;
}

}  // namespace

TFileView::~TFileView() {
    if (mapping_ != nullptr) {
        g_mappedStart = nullptr;
        munmap(mapping_, size_);
    }
}

// Below this size reading is cheaper than setting up and tearing down a
// mapping: sprites come by the thousand.
constexpr off_t kMapFrom = off_t{1} << 20;

void TFileView::Open(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= kMapFrom) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fstat(fd, &info) != 0) {
            if (fd >= 0) close(fd);
            throw EFOpenError(CannotOpenMessage(path));
        }
        const auto size = static_cast<size_t>(info.st_size);
        void* mapped = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
        close(fd);
        if (mapped != MAP_FAILED) {
            madvise(mapped, size, MADV_SEQUENTIAL);
            mapping_ = mapped;
            data_ = static_cast<const uint8_t*>(mapped);
            size_ = size;
            WatchMapping(static_cast<uint8_t*>(mapped), size);
            return;
        }
    }
    // Small files, pipes and devices, and anything that cannot be mapped;
    // missing files and folders are refused here too.
    buffer_.LoadFromFile(path);
    data_ = buffer_.Memory();
    size_ = buffer_.Size();
}

void TFileView::Check() const {
    if (mapping_ != nullptr && g_mappedCut) throw EReadError(kMsgStreamRead);
}

#endif
