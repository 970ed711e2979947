#include "web/doc_cache.h"

#include <algorithm>
#include <fcntl.h>
#include <linux/openat2.h>
#include <microhttpd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "web/static_files.h"

namespace web::detail {
namespace {

// Every change of a folder's entries, of a file in it (content, status,
// name) and of the folder itself.
constexpr std::uint32_t kFolderEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE |
                                        IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE_SELF | IN_MOVE_SELF;
// Watches kept before they are all given up and begun anew.
constexpr std::size_t kMaxWatches = 256;

int openNoLinks(int rootFd, const std::string& relative) {
    struct open_how how {};
    how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(
        ::syscall(SYS_openat2, rootFd, relative.empty() ? "." : relative.c_str(), &how, sizeof how));
}

}  // namespace

bool DocCache::open(const std::string& rootPath, AddHeaders headers) {
    clear();
    root_.reset(::open(rootPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root_.valid()) inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    rootPath_ = rootPath;
    headers_ = headers;
    return inotify_.valid();
}

void DocCache::clear() {
    dropAll();
    inotify_.reset();
    watches_ = 0;
    root_.reset();
}

void DocCache::release(Entry& entry) {
    // A connection still sending a response keeps it (and its copy of the
    // text) until it is done.
    if (entry.ok) MHD_destroy_response(entry.ok);
    if (entry.notModified) MHD_destroy_response(entry.notModified);
    entry.ok = entry.notModified = nullptr;
    total_ -= entry.size;
}

void DocCache::dropAll() {
    for (auto& [key, entry] : entries_) release(entry);
    entries_.clear();
    total_ = 0;
}

void DocCache::readEvents() {
    if (!inotify_.valid()) return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
        if (got <= 0) return;  // EAGAIN: nothing more pending
        for (ssize_t at = 0; at < got;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                dropAll();
                continue;
            }
            const char* name = ev->len ? ev->name : "";
            for (auto it = entries_.begin(); it != entries_.end();) {
                bool touched = false;
                for (const auto& [wd, step] : it->second.steps)
                    touched = touched || (wd == ev->wd && (!*name || step == name));
                if (touched) {
                    release(it->second);
                    it = entries_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
}

const DocCache::Entry* DocCache::find(const std::string& key) {
    if (entries_.empty()) return nullptr;
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

int DocCache::watch(const std::string& folder) {
    std::string path = rootPath_;
    if (!folder.empty()) path += '/' + folder;
    int wd = ::inotify_add_watch(inotify_.get(), path.c_str(),
                                 kFolderEvents | IN_ONLYDIR | IN_DONT_FOLLOW);
    // Watch ids grow with each folder newly watched (the same folder gives
    // its id again), so the highest id counts the folders.
    if (wd >= 0) watches_ = std::max(watches_, static_cast<std::size_t>(wd));
    return wd;
}

const DocCache::Entry* DocCache::add(const std::string& key, const std::string& served,
                                     std::size_t size) {
    if (!inotify_.valid() || served.empty() || size > kMaxDocument || total_ + size > kMaxTotal)
        return nullptr;

    // Watches of documents long gone add up: start over, before this
    // entry's folders are watched so that all of them are in one instance.
    const std::size_t depth = static_cast<std::size_t>(std::count(served.begin(), served.end(), '/')) + 1;
    if (watches_ + depth > kMaxWatches) {
        dropAll();
        inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        watches_ = 0;
        if (!inotify_.valid()) return nullptr;
    }

    // Watch first, read after: a change from here on is reported.
    Entry entry;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = served.find('/', start);
        std::string folder = start ? served.substr(0, start - 1) : std::string();
        int wd = watch(folder);
        if (wd < 0) return nullptr;
        entry.steps.emplace_back(wd, served.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }

    fileio::Fd fd(openNoLinks(root_.get(), served));
    if (!fd.valid()) return nullptr;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    size = static_cast<std::size_t>(st.st_size);
    if (size > kMaxDocument || total_ + size > kMaxTotal) return nullptr;

    char* text = static_cast<char*>(std::malloc(size ? size : 1));
    if (!text) return nullptr;
    std::size_t have = 0;
    while (have < size) {
        ssize_t n = ::pread(fd.get(), text + have, size - have, static_cast<off_t>(have));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
    }
    if (have != size) {  // cut while being read
        std::free(text);
        return nullptr;
    }
    // libmicrohttpd frees the text with the response's last reference.
    entry.ok = MHD_create_response_from_buffer(size, text, MHD_RESPMEM_MUST_FREE);
    if (!entry.ok) {
        std::free(text);
        return nullptr;
    }
    // The 304 gives the length the 200 would have; libmicrohttpd sends no
    // body with it, so the text is never read through this response.
    entry.notModified = MHD_create_response_from_buffer(size, text, MHD_RESPMEM_PERSISTENT);
    if (!entry.notModified) {
        MHD_destroy_response(entry.ok);
        return nullptr;
    }
    char lastModified[40];
    formatHttpDate(st.st_mtime, lastModified, sizeof lastModified);
    if (headers_) {
        headers_(entry.ok, served.c_str(), lastModified, false);
        headers_(entry.notModified, served.c_str(), lastModified, true);
    }
    entry.mtime = st.st_mtime;
    entry.size = size;
    total_ += size;
    auto it = entries_.find(key);
    if (it != entries_.end()) {
        release(it->second);
        entries_.erase(it);
    }
    return &entries_.emplace(key, std::move(entry)).first->second;
}

}  // namespace web::detail
