// File plumbing of the upload and upgrade commands: owned descriptors,
// complete writes, and files installed whole by rename.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace dispatch::files {

// An owned file descriptor, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    // Closes now; false when close reports an error (a late write failure).
    bool close();
    void reset();

private:
    int fd_ = -1;
};

// Writes all `len` bytes, looping over partial writes and EINTR.
bool write_all(int fd, const char* data, std::size_t len);

// Reads up to `len` bytes, looping until `len` or end of file; bytes read,
// or -1 on a read error.
long read_full(int fd, char* data, std::size_t len);

// The folder part of a path, with its trailing '/' ("./" when none).
std::string dir_of(const std::string& path);

// A temporary file being filled for one target. Removed on destruction
// unless committed.
class PendingFile {
public:
    // Creates ".wsXXXXXX" in the target's folder.
    explicit PendingFile(const std::string& target);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    bool ok() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    // fsync, close, give `mode`, rename over the target, fsync the folder.
    // False (and the temporary file removed, the target untouched) on any
    // failure.
    bool commit(mode_t mode);

private:
    std::string target_;
    std::string path_;
    Fd fd_;
    bool done_ = false;
};

// Flushes a folder's entry changes (after a rename into it).
void sync_dir(const std::string& dir);

}  // namespace dispatch::files
