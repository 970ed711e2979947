#include "common/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace fileio {

bool Fd::close() {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long readFully(int fd, char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? static_cast<long>(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

int copyAll(int in, int out) {
    char block[16 * 1024];
    for (;;) {
        ssize_t n = ::read(in, block, sizeof block);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return 0;
        if (!writeAll(out, block, static_cast<std::size_t>(n))) return -2;
    }
}

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void syncDirectory(const std::string& dir) {
    Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.valid()) ::fsync(d.get());
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

namespace {

// The file a write really replaces: a symbolic link is followed, so the
// link itself stays in place and its target gets the new contents.
std::string resolveTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string out(real);
            std::free(real);
            return out;
        }
    }
    return path;
}

}  // namespace

AtomicFile::AtomicFile(const std::string& path, mode_t newMode)
    : target_(resolveTarget(path)), mode_(newMode) {
    struct stat old {};
    if (::stat(target_.c_str(), &old) == 0) {
        if (S_ISDIR(old.st_mode)) {
            // A folder in the file's place cannot be replaced by a file.
            errno = EISDIR;
            return;
        }
        if (S_ISREG(old.st_mode)) {
            mode_ = old.st_mode & 07777;
            keepMode_ = true;
        }
    }
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        // A short name beside the target: the target's own name may already
        // be as long as a name can be.
        temp_ = directoryOf(target_) + "/.tmp." + std::to_string(::getpid()) + "." +
                std::to_string(counter.fetch_add(1));
        // A new file gets `newMode` less the umask; a replaced file's bits are
        // given at commit (owner-only until then).
        fd_.reset(::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                         keepMode_ ? 0600 : mode_));
        if (fd_.valid() || errno != EEXIST) break;
    }
    if (!fd_.valid()) temp_.clear();
}

AtomicFile::~AtomicFile() {
    if (!done_ && !temp_.empty()) {
        fd_.reset();
        ::unlink(temp_.c_str());
    }
}

bool AtomicFile::commit() {
    if (!fd_.valid() || done_) return false;
    if (keepMode_ && ::fchmod(fd_.get(), mode_) != 0) return false;
    if (::fsync(fd_.get()) != 0) return false;
    if (!fd_.close()) return false;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return false;
    done_ = true;
    // Make the rename itself durable; the new contents are in place already.
    syncDirectory(directoryOf(target_));
    return true;
}

WriteResult replaceFile(const std::string& path, std::string_view data, mode_t newMode) {
    int err = 0;
    {
        AtomicFile file(path, newMode);
        if (!file.ok()) return WriteResult::Open;
        if (file.write(data) && file.commit()) return WriteResult::Ok;
        err = errno;
    }  // the temporary file is removed here, which may change errno
    errno = err;
    return WriteResult::Write;
}

}  // namespace fileio
