// Small static documents kept as ready libmicrohttpd responses, keyed by the
// cleaned request path. A document is kept only when no symbolic link lies on
// its path below the document root; every folder on its path is watched with
// inotify and an entry is dropped as soon as its file or one of those folders
// changes. The server loop waits for the inotify descriptor together with
// the sockets and reads its events before it reads the requests reported
// with them, so a request sent after a write never gets the old content.
// Internal to src/web.
#pragma once

#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/fileio.h"

struct MHD_Response;

namespace web::detail {

class DocCache {
public:
    static constexpr std::size_t kMaxDocument = 64 * 1024;
    static constexpr std::size_t kMaxTotal = 512 * 1024;

    // Adds the headers of a document answer (200) or of its 304 answer;
    // `served` is the file's path below the root.
    using AddHeaders = void (*)(MHD_Response* response, const char* served,
                                const char* lastModified, bool notModified);

    struct Entry {
        std::time_t mtime = 0;
        std::size_t size = 0;
        MHD_Response* ok = nullptr;
        MHD_Response* notModified = nullptr;
        // (watch, name) for each step of the served path: a change event of
        // that watch about that name (or about the watched folder itself)
        // drops the entry.
        std::vector<std::pair<int, std::string>> steps;
    };

    DocCache() = default;
    ~DocCache() { clear(); }
    DocCache(const DocCache&) = delete;
    DocCache& operator=(const DocCache&) = delete;

    // Starts caching documents below the folder `rootPath`; false when it
    // or inotify is not available (nothing is cached then).
    bool open(const std::string& rootPath, AddHeaders headers);
    // Drops everything and stops watching.
    void clear();
    // The inotify descriptor to watch for reading, -1 when closed.
    int watchFd() const { return inotify_.get(); }
    // Reads the pending change events and drops the entries they touch.
    void readEvents();

    // The entry for `key`, or null.
    const Entry* find(const std::string& key);
    // Caches the document `served` (a file path below the root, reached
    // for `key`, `size` bytes when it was opened), read afresh after its
    // folders are watched. Null when it cannot be kept: too large, over the
    // total, a link on its path, ...
    const Entry* add(const std::string& key, const std::string& served, std::size_t size);

private:
    int watch(const std::string& folder);
    void release(Entry& entry);
    void dropAll();

    fileio::Fd inotify_;
    fileio::Fd root_;
    std::string rootPath_;
    AddHeaders headers_ = nullptr;
    std::unordered_map<std::string, Entry> entries_;
    std::size_t total_ = 0;
    std::size_t watches_ = 0;
};

}  // namespace web::detail
