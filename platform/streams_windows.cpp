// Files on Windows: reading a whole input file and the packet output file,
// replaced in one move, with Ctrl-C and Ctrl-Break taking the temporary file
// with them. Paths are the system code page's 8-bit strings, passed to the
// A functions unchanged; files are read and written as bytes, never as text.
#include "platform/platform.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace {

// The most one ReadFile or WriteFile call is asked to move.
constexpr size_t kChunk = size_t{1} << 30;

// Closes a handle when it goes out of scope.
struct HandleGuard {
    HANDLE handle;
    ~HandleGuard() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

}  // namespace

void TMemoryStream::LoadFromFile(const std::string& path) {
    // Others may keep the file open meanwhile, for reading or writing.
    HandleGuard file{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    BY_HANDLE_FILE_INFORMATION info;
    const bool disk = file.handle != INVALID_HANDLE_VALUE && GetFileType(file.handle) == FILE_TYPE_DISK;
    if (file.handle == INVALID_HANDLE_VALUE ||
        (disk && (!GetFileInformationByHandle(file.handle, &info) ||
                  (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))))
        throw EFOpenError(CannotOpenMessage(path));

    // A file on disk is read in one request of its whole size; anything else
    // (a pipe, a device) is read until it ends.
    const uint64_t fileSize = disk ? (uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow) : 0;
    if (fileSize >= SIZE_MAX) throw EStreamError(kMsgMemoryStream);
    SetSize(0);
    Reserve(static_cast<size_t>(fileSize) + 1);
    for (;;) {
        if (size_ == capacity_) Reserve(capacity_ + 65536);
        const size_t room = capacity_ - size_;
        DWORD got = 0;
        if (!ReadFile(file.handle, data_ + size_, static_cast<DWORD>(room < kChunk ? room : kChunk), &got,
                      nullptr)) {
            if (GetLastError() == ERROR_BROKEN_PIPE) break;  // the writing end has closed
            throw EReadError(kMsgStreamRead);
        }
        if (got == 0) break;
        size_ += got;
    }
}

// ------------------------------------------------------------ TFileStream --

namespace {

// The path up to and including its last "\" or "/", or the drive of a path
// like "C:name", or nothing: where the temporary file goes.
std::string FolderPrefix(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    if (separator != std::string::npos) return path.substr(0, separator + 1);
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    return "";
}

// The temporary file of the packet being written, so that Ctrl-C can remove
// it. The console runs the handler on a thread of its own: the lock keeps it
// from meeting a temporary file half created or half moved into place.
SRWLOCK g_pendingLock = SRWLOCK_INIT;
std::string g_pendingTemp;

BOOL WINAPI RemovePendingOnCtrl(DWORD) {
    AcquireSRWLockExclusive(&g_pendingLock);
    // The file is open for writing, with deletion shared: it goes when the
    // process ends and closes it.
    if (!g_pendingTemp.empty()) DeleteFileA(g_pendingTemp.c_str());
    // The lock stays held: the process is ending, and no packet may be moved
    // into place meanwhile. The next handler is the default one, which ends
    // the process as usual.
    return FALSE;
}

// A name that no file in the folder has yet: ".pixbake-" and six letters.
std::string CandidateName(const std::string& prefix) {
    static uint32_t state = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
    std::string name = prefix + ".pixbake-";
    for (int i = 0; i < 6; ++i) {
        state = state * 1664525u + 1013904223u;
        name += static_cast<char>('a' + (state >> 16) % 26);
    }
    return name;
}

// Creates the temporary file and records its name in one step as far as the
// Ctrl-C handler can see, so no interrupt leaves it behind.
HANDLE CreateWatchedTemp(const std::string& prefix, std::string& temp) {
    static bool installed = false;
    if (!installed) installed = SetConsoleCtrlHandler(RemovePendingOnCtrl, TRUE) != FALSE;
    HANDLE file = INVALID_HANDLE_VALUE;
    AcquireSRWLockExclusive(&g_pendingLock);
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = CandidateName(prefix);
        file = CreateFileA(temp.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    if (file != INVALID_HANDLE_VALUE) g_pendingTemp = temp;
    ReleaseSRWLockExclusive(&g_pendingLock);
    return file;
}

void ForgetPendingTemp() {
    AcquireSRWLockExclusive(&g_pendingLock);
    g_pendingTemp.clear();
    ReleaseSRWLockExclusive(&g_pendingLock);
}

// The attributes a replaced packet passes on to the new one. Read-only never
// comes to that (such a packet is not replaced), and the new file is marked
// for archiving like any changed file.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

TFileStream::TFileStream(const std::string& path) : path_(path), target_(path) {
    const DWORD existing = GetFileAttributesA(path.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES &&
        (existing & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
        throw EFCreateError(CannotCreateMessage(path));

    // A name of our own in the destination's folder, so that the final move
    // stays within one volume.
    std::string temp;
    HANDLE file = CreateWatchedTemp(FolderPrefix(path), temp);
    if (file == INVALID_HANDLE_VALUE) throw EFCreateError(CannotCreateMessage(path));
    handle_ = file;
    tempPath_ = temp;
}

TFileStream::~TFileStream() { Discard(); }

void TFileStream::Discard() noexcept {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
    if (!tempPath_.empty()) {
        DeleteFileA(tempPath_.c_str());
        tempPath_.clear();
        ForgetPendingTemp();
    }
}

void TFileStream::Write(const void* bytes, size_t count) {
    const uint8_t* next = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        DWORD put = 0;
        if (!WriteFile(handle_, next, static_cast<DWORD>(count < kChunk ? count : kChunk), &put, nullptr) ||
            put == 0) {
            Discard();
            throw EWriteError(kMsgStreamWrite);
        }
        next += put;
        count -= put;
    }
}

void TFileStream::Commit() {
    HANDLE file = handle_;
    handle_ = nullptr;
    if (!CloseHandle(file)) {
        Discard();
        throw EWriteError(kMsgStreamWrite);
    }
    const DWORD existing = GetFileAttributesA(target_.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & kCarriedAttributes))
        SetFileAttributesA(tempPath_.c_str(), (existing & kCarriedAttributes) | FILE_ATTRIBUTE_ARCHIVE);
    AcquireSRWLockExclusive(&g_pendingLock);
    const bool moved = MoveFileExA(tempPath_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (moved) g_pendingTemp.clear();
    ReleaseSRWLockExclusive(&g_pendingLock);
    if (!moved) {
        Discard();
        throw EFCreateError(CannotCreateMessage(path_));
    }
    tempPath_.clear();
}
