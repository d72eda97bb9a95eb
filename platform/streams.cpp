// Memory buffers. Reading a file into one and the packet output file are the
// system's part: streams_posix.cpp and streams_windows.cpp.
#include "platform/platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------- TMemoryStream --

TMemoryStream::~TMemoryStream() { std::free(data_); }

void TMemoryStream::Reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    // Grow geometrically so that appending byte by byte stays linear.
    size_t grown = capacity_ + capacity_ / 2;
    if (grown < capacity) grown = capacity;
    void* moved = std::realloc(data_, grown);
    if (moved == nullptr) throw EStreamError(kMsgMemoryStream);
    data_ = static_cast<uint8_t*>(moved);
    capacity_ = grown;
}

void TMemoryStream::Write(const void* bytes, size_t count) {
    if (count == 0) return;
    if (count > SIZE_MAX - size_) throw EStreamError(kMsgMemoryStream);
    Reserve(size_ + count);
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
}

void TMemoryStream::SetSize(size_t size) {
    if (size > capacity_) {
        // An exact size: a buffer set once to its final length wastes nothing.
        void* moved = std::realloc(data_, size);
        if (moved == nullptr) throw EStreamError(kMsgMemoryStream);
        data_ = static_cast<uint8_t*>(moved);
        capacity_ = size;
    }
    size_ = size;
}
