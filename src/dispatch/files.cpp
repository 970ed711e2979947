#include "dispatch/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

namespace dispatch::files {

long read_full(int fd, char* data, std::size_t len) {
    std::size_t got = 0;
    while (got < len) {
        ssize_t n = ::read(fd, data + got, len - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

CopyResult copy_contents(int in, int out) {
    // Taken for the copy only: a static thread_local block would cost
    // 64 KiB of every thread's memory for the life of the process.
    constexpr std::size_t kBlock = 1 << 16;
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    char* block = buffer.get();
    for (;;) {
        ssize_t n = ::read(in, block, kBlock);
        if (n < 0) {
            if (errno == EINTR) continue;
            return CopyResult::ReadFailed;
        }
        if (n == 0) return CopyResult::Done;
        if (!writeAll(out, block, static_cast<std::size_t>(n))) return CopyResult::WriteFailed;
    }
}

std::string dir_of(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return "./";
    return path.substr(0, slash + 1);
}

void sync_dir(const std::string& dir) {
    Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.valid()) ::fsync(d.get());
}

PendingFile::PendingFile(const std::string& target) : target_(target) {
    std::string tmpl = dir_of(target) + ".wsXXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = ::mkstemp(buf.data());
    if (fd >= 0) {
        fd_ = Fd(fd);
        path_ = buf.data();
    }
}

PendingFile::~PendingFile() {
    if (!done_ && !path_.empty()) {
        fd_.reset();
        ::unlink(path_.c_str());
    }
}

bool PendingFile::commit(mode_t mode) {
    if (!fd_.valid() || done_) return false;
    bool good = ::fsync(fd_.get()) == 0;
    good = ::fchmod(fd_.get(), mode) == 0 && good;
    good = fd_.close() && good;
    if (good && ::rename(path_.c_str(), target_.c_str()) == 0) {
        done_ = true;
        sync_dir(dir_of(target_));
        return true;
    }
    return false;  // the destructor removes the temporary file
}

}  // namespace dispatch::files
