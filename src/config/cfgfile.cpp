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

using fileio::readFully;
using fileio::WriteResult;

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
    long n = readFully(fd.get(), static_cast<char*>(data), static_cast<size_t>(size));
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
    WriteResult stage = fileio::replaceFile(
        path, std::string_view(static_cast<const char*>(data), static_cast<size_t>(size)), 0664);
    if (stage == WriteResult::Open) {
        int err = errno;
        ERROR_LINE(" open/creat file[%s] failed! errno=%d(%s)\n", path, err, std::strerror(err));
        return -7;
    }
    if (stage == WriteResult::Write) {
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
    long n = readFully(fd.get(), buffer.data(), static_cast<size_t>(size));
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
    fileio::FilePtr fp(std::fopen(path, "re"));
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
    WriteResult stage = fileio::replaceFile(path, text, 0666);
    if (stage == WriteResult::Open) {
        diag::err("fopen: %s\n", std::strerror(errno));
        return -7;
    }
    if (stage == WriteResult::Write) {
        diag::err("fwrite: %s\n", std::strerror(errno));
        return -7;
    }
    return 0;
}
