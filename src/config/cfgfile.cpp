#include "config/cfgfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "common/diag.h"
#include "common/fileio.h"

namespace {

// Guards every open, read and write of the configuration files.
std::mutex mutex_common;

using fileio::Fd;

// Reads up to `size` bytes, going on after short reads; the count read, or
// -1 when a read fails before the first byte.
long readFully(int fd, char* data, long size) {
    long done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, data + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? done : -1;
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

// Where an atomic replacement failed.
enum class WriteStage { Ok, Open, Write };

// The file a write really replaces: a symbolic link is followed, so the
// link itself stays in place and its target gets the new contents.
std::string resolveTarget(const char* path) {
    struct stat st {};
    if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = ::realpath(path, nullptr);
        if (real) {
            std::string out(real);
            std::free(real);
            return out;
        }
    }
    return path;
}

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates a fresh temporary file beside `target` with `mode` (before umask).
int createTemp(const std::string& target, mode_t mode, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".tmp.%ld.%u", static_cast<long>(::getpid()),
                      counter.fetch_add(1));
        tempPath = target + suffix;
        int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Replaces `path` with `len` bytes of `data`: write a temporary file in the
// same folder, flush it to the device, rename it over the target. On any
// failure the temporary file is removed and the old file stays as it was;
// errno then tells why.
WriteStage replaceFile(const char* path, const char* data, size_t len, mode_t mode) {
    const std::string target = resolveTarget(path);
    struct stat old {};
    const bool found = ::stat(target.c_str(), &old) == 0;
    if (found && S_ISDIR(old.st_mode)) {
        // A folder in the file's place cannot be opened for writing.
        errno = EISDIR;
        return WriteStage::Open;
    }
    const bool existed = found && S_ISREG(old.st_mode);

    std::string tempPath;
    Fd fd(createTemp(target, mode, tempPath));
    if (!fd.valid()) return WriteStage::Open;

    auto fail = [&](int err) {
        fd.reset();
        ::unlink(tempPath.c_str());
        errno = err;
        return WriteStage::Write;
    };

    // Keep the permission bits of a file that is replaced.
    if (existed && ::fchmod(fd.get(), old.st_mode & 07777) != 0) return fail(errno);

    if (!fileio::writeAll(fd.get(), data, len)) return fail(errno);
    if (::fsync(fd.get()) != 0) return fail(errno);
    if (!fd.close()) return fail(errno);
    if (::rename(tempPath.c_str(), target.c_str()) != 0) return fail(errno);

    // Make the rename itself durable; the new contents are in place already.
    Fd dir(::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) ::fsync(dir.get());
    return WriteStage::Ok;
}

}  // namespace

int http_get_cfgfile(const char* path, void* data, long size) {
    if (path == nullptr || data == nullptr || size <= 0) {
        ERROR_LINE("cfg_name[%p] cfg_data[%p] size[%ld] invailed\n", static_cast<const void*>(path),
                   data, size);
        return -2;
    }
    std::lock_guard<std::mutex> lock(mutex_common);
    struct stat st {};
    if (::stat(path, &st) != 0) {
        int err = errno;
        ERROR_LINE("stat file:%s error=%d(%s)\n", path, err, std::strerror(err));
        return -1;
    }
    if (static_cast<long>(st.st_size) != size) {
        ERROR_LINE("%s (%ld != %ld)\n", path, static_cast<long>(st.st_size), size);
        return -1;
    }
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        int err = errno;
        ERROR_LINE(" open file[%s] failed! errno=%d(%s)\n", path, err, std::strerror(err));
        return -7;
    }
    errno = 0;
    long n = readFully(fd.get(), static_cast<char*>(data), size);
    if (n != size || n <= 0) {
        int err = errno;
        ERROR_LINE("read file[%s] failed! errno=%d(%s)\n", path, err, std::strerror(err));
        return -7;
    }
    return 0;
}

int http_set_cfgfile(const char* path, const void* data, int size) {
    if (path == nullptr || data == nullptr || size <= 0) {
        ERROR_LINE("cfg_name[%p] cfg_data[%p] size[%d] invailed\n", static_cast<const void*>(path),
                   data, size);
        return -2;
    }
    std::lock_guard<std::mutex> lock(mutex_common);
    WriteStage stage = replaceFile(path, static_cast<const char*>(data), static_cast<size_t>(size), 0664);
    if (stage == WriteStage::Open) {
        int err = errno;
        ERROR_LINE(" open/creat file[%s] failed! errno=%d(%s)\n", path, err, std::strerror(err));
        return -7;
    }
    if (stage == WriteStage::Write) {
        int err = errno;
        ERROR_LINE(" write file[%s] failed! errno=%d(%s)\n", path, err, std::strerror(err));
        return -7;
    }
    return 0;
}

std::optional<std::string> http_get_datafile(const char* path) {
    if (path == nullptr) {
        ERROR_LINE("cfg_name[%p] get_data_length[%p] invailed\n", static_cast<const void*>(path),
                   static_cast<const void*>(nullptr));
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(mutex_common);
    struct stat st {};
    if (::stat(path, &st) != 0 || st.st_size <= 0) return std::nullopt;
    if (st.st_size >= INT_MAX) {
        ERROR_LINE("malloc size[%d] failed\n", INT_MAX);
        return std::nullopt;
    }
    const long size = static_cast<long>(st.st_size);

    std::string buffer;
    try {
        buffer.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        ERROR_LINE("malloc size[%d] failed\n", static_cast<int>(size + 1));
        return std::nullopt;
    }
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        int err = errno;
        ERROR_LINE(" open file[%s] failed! errno=%d(%s)\n", path, err, std::strerror(err));
        return std::nullopt;
    }
    errno = 0;
    long n = readFully(fd.get(), buffer.data(), size);
    if (n < 1) {
        int err = errno;
        ERROR_LINE("read file[%s] fail=%d! errno=%d(%s)\n", path, static_cast<int>(n), err,
                   std::strerror(err));
        return std::nullopt;
    }
    if (n != size) {
        ERROR_LINE("read file[%s] len=%d != %d\n", path, static_cast<int>(n), static_cast<int>(size));
        return std::nullopt;
    }
    return buffer;
}

std::optional<std::string> http_get_jsoncfgfile(const char* path) {
    if (path == nullptr) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_common);
    std::unique_ptr<FILE, int (*)(FILE*)> fp(std::fopen(path, "re"), &std::fclose);
    if (!fp) return std::nullopt;
    std::string text;
    if (std::fseek(fp.get(), 0, SEEK_END) == 0) {
        long n = std::ftell(fp.get());
        std::rewind(fp.get());
        if (n > 0) {
            try {
                text.resize(static_cast<size_t>(n));
            } catch (const std::bad_alloc&) {
                return std::nullopt;
            }
            text.resize(std::fread(text.data(), 1, text.size(), fp.get()));
        }
    }
    return text;
}

int http_set_jsoncfgfile(const char* path, const char* text) {
    if (path == nullptr || text == nullptr) {
        errno = EINVAL;
        diag::err("fopen: %s\n", std::strerror(errno));
        return -7;
    }
    std::lock_guard<std::mutex> lock(mutex_common);
    WriteStage stage = replaceFile(path, text, std::strlen(text), 0666);
    if (stage == WriteStage::Open) {
        diag::err("fopen: %s\n", std::strerror(errno));
        return -7;
    }
    if (stage == WriteStage::Write) {
        diag::err("fwrite: %s\n", std::strerror(errno));
        return -7;
    }
    return 0;
}
