// Owned file descriptors and complete writes.
#pragma once

#include <cstddef>
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

// Writes all `size` bytes, going on after short writes and EINTR. False on a
// write error (errno tells why; ENOSPC when the file takes no more bytes).
bool writeAll(int fd, const char* data, std::size_t size);

}  // namespace fileio
