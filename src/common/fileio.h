// Owned file descriptors, complete reads and writes, and the one way a file
// is replaced: whole or not at all.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace fileio {

// Owns one file descriptor (negative: none) and closes it when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes now; false when close reports an error (a late write error
    // shows up here).
    bool close();
    // Closes the descriptor held, if any, and takes `fd`.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Writes all `size` bytes, going on after short writes and EINTR. False on a
// write error (errno tells why; ENOSPC when the file takes no more bytes).
bool writeAll(int fd, const char* data, std::size_t size);

// Reads up to `size` bytes, going on after short reads and EINTR; the count
// read (short only at end of file), or -1 when a read fails before the first
// byte.
long readFully(int fd, char* data, std::size_t size);

// Copies everything readable from `in` to `out` from the current offsets,
// block by block. 0, or -1 for a read error, -2 for a write error.
int copyAll(int in, int out);

// The folder of a path without a trailing '/': "." for a bare name, "/" for
// a file in the root.
std::string directoryOf(const std::string& path);

// Flushes a folder's entries to the device (after a rename into it).
void syncDirectory(const std::string& dir);

// Value of one hexadecimal digit (either case), -1 for any other character.
int hexValue(char c);

// A file replaced whole or not at all. The new contents go to a temporary
// file beside the file that is replaced (when the path is a symbolic link,
// the file it points to: the link stays); commit() flushes it, gives it the
// permission bits of the file it replaces (`newMode` for a new file), and
// renames it into place. Without a successful commit the temporary file is
// removed and the old file stays as it was.
class AtomicFile {
public:
    explicit AtomicFile(const std::string& path, mode_t newMode = 0644);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False when the temporary file could not be made (errno tells why).
    bool ok() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    bool write(std::string_view data) { return writeAll(fd_.get(), data.data(), data.size()); }
    // fsync, permission bits, close, rename, folder fsync; false (errno set)
    // on any failure.
    bool commit();

private:
    std::string target_;
    std::string temp_;
    mode_t mode_;
    bool keepMode_ = false;
    Fd fd_;
    bool done_ = false;
};

// Open: no temporary file could be made; Write: writing or installing it
// failed. errno tells why in both cases.
enum class WriteResult { Ok, Open, Write };
WriteResult replaceFile(const std::string& path, std::string_view data, mode_t newMode);

}  // namespace fileio
