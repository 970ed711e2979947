#include "web/static_files.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/fileio.h"

namespace web::detail {
namespace {

using fileio::hexValue;

// Adds one decoded segment to the cleaned path; false for "..".
bool addSegment(std::string& relative, const std::string& segment) {
    if (segment.empty() || segment == ".") return true;
    if (segment == "..") return false;
    if (!relative.empty()) relative += '/';
    relative += segment;
    return true;
}

struct TypeEntry {
    std::string_view extension;
    const char* type;
};

constexpr TypeEntry kTypes[] = {
    {"html", "text/html"},        {"htm", "text/html"},
    {"css", "text/css"},          {"js", "text/javascript"},
    {"json", "application/json"}, {"png", "image/png"},
    {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"},
    {"bmp", "image/bmp"},         {"gif", "image/gif"},
    {"svg", "image/svg+xml"},     {"ico", "image/x-icon"},
    {"woff2", "font/woff2"},      {"woff", "font/woff"},
    {"txt", "text/plain"},
};

int statusForOpenError(int err) {
    switch (err) {
        case EXDEV:   // a symbolic link or ".." leading out of the root
        case ELOOP:   // a link where none is allowed, or a loop
        case EACCES:
        case EPERM:
            return 403;
        default:
            return 404;
    }
}

}  // namespace

PathCheck cleanRequestPath(std::string_view raw, std::string& relative) {
    relative.clear();
    if (raw.empty() || raw.front() != '/') return PathCheck::BadRequest;
    std::string segment;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '%') {
            if (i + 2 >= raw.size()) return PathCheck::BadRequest;
            int hi = hexValue(raw[i + 1]);
            int lo = hexValue(raw[i + 2]);
            if (hi < 0 || lo < 0) return PathCheck::BadRequest;
            char b = static_cast<char>(hi * 16 + lo);
            if (b == '/' || b == '\\' || b == '\0') return PathCheck::Forbidden;
            segment += b;
            i += 2;
        } else if (c == '/') {
            if (!addSegment(relative, segment)) return PathCheck::Forbidden;
            segment.clear();
        } else if (c == '\\' || c == '\0') {
            return PathCheck::Forbidden;
        } else {
            segment += c;
        }
    }
    if (!addSegment(relative, segment)) return PathCheck::Forbidden;
    return PathCheck::Ok;
}

const char* contentTypeFor(std::string_view name) {
    std::size_t slash = name.rfind('/');
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return "application/octet-stream";
    std::string_view ext = name.substr(dot + 1);
    for (const TypeEntry& e : kTypes) {
        if (e.extension.size() != ext.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < ext.size() && same; ++i) {
            char c = ext[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            same = c == e.extension[i];
        }
        if (same) return e.type;
    }
    return "application/octet-stream";
}

void formatHttpDate(std::time_t t, char* out, std::size_t size) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm tm {};
    if (!gmtime_r(&t, &tm)) {
        if (size) out[0] = '\0';
        return;
    }
    std::snprintf(out, size, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

bool parseHttpDate(const char* text, std::time_t& t) {
    if (!text) return false;
    struct tm tm {};
    const char* end = strptime(text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    if (!end) return false;
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0') return false;
    std::time_t v = timegm(&tm);
    if (v == static_cast<std::time_t>(-1)) return false;
    t = v;
    return true;
}

bool DocumentRoot::open(const std::string& dir, Opener opener) {
    close();
    int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    char* real = ::realpath(dir.c_str(), nullptr);
    if (!real) {
        ::close(fd);
        return false;
    }
    realDir_ = real;
    std::free(real);
    rootFd_ = fd;
    dir_ = dir;
    useOpenat2_ = opener == Opener::Auto;
    return true;
}

void DocumentRoot::close() {
    if (rootFd_ >= 0) ::close(rootFd_);
    rootFd_ = -1;
    dir_.clear();
    realDir_.clear();
}

int DocumentRoot::openBeneath(const std::string& relative) const {
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (useOpenat2_) {
        // The kernel resolves the path and refuses every step out of the
        // root ("..", absolute or escaping symbolic links) in one call.
        struct open_how how {};
        how.flags = static_cast<std::uint64_t>(flags);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const char* p = relative.empty() ? "." : relative.c_str();
        long fd = ::syscall(SYS_openat2, rootFd_, p, &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
        // Kernels before 5.6 (or a filter refusing the call): resolve by hand.
        useOpenat2_ = false;
    }
    std::string full = realDir_;
    if (!relative.empty()) full += '/' + relative;
    char* real = ::realpath(full.c_str(), nullptr);
    if (!real) return -1;
    std::string_view r(real);
    bool inside = r == realDir_ ||
                  (r.size() > realDir_.size() && r.starts_with(realDir_) &&
                   (realDir_ == "/" || r[realDir_.size()] == '/'));
    int fd = -1;
    if (inside) {
        fd = ::open(real, flags | O_NOFOLLOW);
    } else {
        errno = EXDEV;
    }
    int saved = errno;
    std::free(real);
    errno = saved;
    return fd;
}

int DocumentRoot::openDocument(const std::string& relative, const std::string& index, int& fd,
                               off_t& size, std::time_t& mtime, std::string& servedName) const {
    fd = -1;
    if (rootFd_ < 0) return 404;
    fileio::Fd f(openBeneath(relative));
    if (!f.valid()) return statusForOpenError(errno);
    struct stat st {};
    if (::fstat(f.get(), &st) != 0) return 404;
    servedName = relative;
    if (S_ISDIR(st.st_mode)) {
        if (index.empty()) return 404;
        servedName = relative.empty() ? index : relative + '/' + index;
        f.reset();  // the folder is done with before its index is opened
        f.reset(openBeneath(servedName));
        if (!f.valid()) return statusForOpenError(errno);
        if (::fstat(f.get(), &st) != 0) return 404;
    }
    if (!S_ISREG(st.st_mode)) return 404;
    fd = f.release();
    size = st.st_size;
    mtime = st.st_mtime;
    return 0;
}

}  // namespace web::detail
