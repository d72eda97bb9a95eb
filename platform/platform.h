// The platform layer: the small set of services the converter stands on.
//
//   errors    Exception and its E-classes, each carrying a fixed message text
//   numbers   ParseNumberStrict / ParseNumberOrDefault (decimal or $/x/0x hex)
//   streams   TMemoryStream (growable byte buffer), TFileStream (a packet file
//             written beside its destination and moved into place on Commit)
//   bitmap    TBitmap: a BMP loader that hands out rows of colour values
//   console   standard output set-up and the key wait after the usage text
//
// Files and the console differ by system: *_posix.cpp and *_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

// ---------------------------------------------------------------- errors --
//
// Exception
//   EConvertError                  a text that is not a number
//   EStreamError                   a memory buffer that cannot grow
//     EFOpenError                  an input file that cannot be opened
//     EFCreateError                an output file that cannot be created
//     EFilerError
//       EReadError                 a file that ends too early
//       EWriteError                a file that takes fewer bytes than written
//   EInvalidGraphic                a file that is not a bitmap we can read

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

#define PIXBAKE_ERROR_CLASS(Name, Base)                                          \
    class Name : public Base {                                                   \
    public:                                                                      \
        explicit Name(const std::string& message) : Base(message) {}             \
    }

PIXBAKE_ERROR_CLASS(EConvertError, Exception);
PIXBAKE_ERROR_CLASS(EStreamError, Exception);
PIXBAKE_ERROR_CLASS(EFOpenError, EStreamError);
PIXBAKE_ERROR_CLASS(EFCreateError, EStreamError);
PIXBAKE_ERROR_CLASS(EFilerError, EStreamError);
PIXBAKE_ERROR_CLASS(EReadError, EFilerError);
PIXBAKE_ERROR_CLASS(EWriteError, EFilerError);
PIXBAKE_ERROR_CLASS(EInvalidGraphic, Exception);

#undef PIXBAKE_ERROR_CLASS

// The message texts, fixed because scripts and users match on them.
inline constexpr const char* kMsgStreamRead = "Stream read error";
inline constexpr const char* kMsgStreamWrite = "Stream write error";
inline constexpr const char* kMsgInvalidBitmap = "Bitmap image is not valid";
inline constexpr const char* kMsgMemoryStream = "Out of memory while expanding memory stream";
std::string CannotOpenMessage(const std::string& path);    // "Cannot open file %s"
std::string CannotCreateMessage(const std::string& path);  // "Cannot create file %s"

// --------------------------------------------------------------- numbers --
//
// Accepted: leading spaces (not tabs), then either an optional sign and
// decimal digits within int32, or one of the prefixes $ x X 0x 0X and 1..n hex
// digits whose value fits 32 bits (taken as a bit pattern: FFFFFFFF is -1).
// Nothing may follow the last digit.

// Throws EConvertError "'<text>' is not a valid integer value".
int32_t ParseNumberStrict(const std::string& text);
int32_t ParseNumberOrDefault(const std::string& text, int32_t fallback);

// --------------------------------------------------------------- streams --

// A growable byte buffer. Growth failure throws EStreamError.
class TMemoryStream {
public:
    TMemoryStream() = default;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;
    ~TMemoryStream();

    void Write(const void* bytes, size_t count);  // append at the end
    void SetSize(size_t size);  // bytes beyond the old size are undefined
    size_t Size() const { return size_; }
    uint8_t* Memory() { return data_; }
    const uint8_t* Memory() const { return data_; }

    // Replaces the content with the whole file. Throws EFOpenError when the
    // file cannot be opened (or is a directory), EReadError when reading fails.
    void LoadFromFile(const std::string& path);

private:
    void Reserve(size_t capacity);

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A whole input file, read-only. A large regular file is mapped into memory,
// so its bytes are neither copied nor zero-filled first; anything else (a
// small file, a pipe, a device) is read into a buffer. Should the file shrink while it is mapped,
// the missing bytes read as zeros and Check() then throws EReadError "Stream
// read error" instead of the process dying of SIGBUS.
class TFileView {
public:
    TFileView() = default;
    TFileView(const TFileView&) = delete;
    TFileView& operator=(const TFileView&) = delete;
    ~TFileView();

    // Throws EFOpenError when the file cannot be opened (or is a directory),
    // EReadError when reading fails.
    void Open(const std::string& path);
    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    void Check() const;  // throws EReadError if the file was cut short meanwhile

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    void* mapping_ = nullptr;  // set when mapped
    TMemoryStream buffer_;     // used when not
};

// The output file of one packet. The bytes go to a temporary file in the
// destination's folder; Commit() moves it over the destination, so a failure
// at any point leaves whatever was there untouched. Without Commit() the
// destructor removes the temporary file.
//
// Throws EFCreateError "Cannot create file <path>" when the destination
// cannot be created or replaced, EWriteError "Stream write error" when the
// bytes do not all reach the disk.
class TFileStream {
public:
    explicit TFileStream(const std::string& path);
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    ~TFileStream();

    void Write(const void* bytes, size_t count);
    void Commit();

private:
    void Discard() noexcept;

    std::string path_;      // the destination as named, for messages
    std::string target_;    // the file that gets replaced (links resolved)
    std::string tempPath_;  // empty when writing straight to the destination
#ifdef _WIN32
    void* handle_ = nullptr;  // the HANDLE of the file being written
#else
    int fd_ = -1;
#endif
};

// ---------------------------------------------------------------- bitmap --

// Images larger than this are refused before any pixel storage is allocated:
// 2^28 pixels (16384 x 16384) keep every working buffer below 1 GiB.
inline constexpr uint64_t kMaxPixels = uint64_t{1} << 28;

// The colour of pixels that run-length codes skip: the transparency key.
inline constexpr uint32_t kSkippedColour = 0x00FF00FF;

// A decoded BMP image. Colour values are 0x00BBGGRR.
class TBitmap {
public:
    TBitmap();
    ~TBitmap();
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    // Replaces the image with the one in the file. A 0-byte file is an empty
    // image. Throws EFOpenError, EReadError or EInvalidGraphic.
    void LoadFromFile(const std::string& path);
    // The same from bytes already in memory, with an optional lower pixel
    // limit (the fuzz targets keep images small so that they run fast).
    void LoadFromMemory(const uint8_t* bytes, size_t size, uint64_t maxPixels = kMaxPixels);

    int Width() const;
    int Height() const;  // positive, however the rows are stored

    // Writes the Width() colour values of row y (0 = top row as displayed).
    void ReadRow(int y, uint32_t* colours) const;

    struct Image;  // the decoded state; defined by the loader

private:
    std::unique_ptr<Image> image_;
};

// --------------------------------------------------------------- console --

// Standard output shows each line at once on a terminal and is buffered in
// 512-byte blocks when redirected. Call once before writing anything.
void SetUpStandardOutput();

// Waits for one key from the controlling terminal (on Windows the console),
// not standard input, with no echo; returns at once when there is none.
void WaitForKey();
