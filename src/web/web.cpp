// The web layer on libmicrohttpd: one daemon in external select mode, driven
// by serviceEvents on the server thread, so every handler runs on that thread
// one request at a time. Each turn of the loop is one epoll_wait over the
// daemon's sockets, the loop's wake-up eventfd and the document cache's
// inotify descriptor.
//
// Request life: the URI log callback (which sees the raw request target)
// starts the request in the connection's own state; the access handler is
// then called once with the headers (set-up, Content-Length check), once per
// body chunk (kept in memory, spooled or fed to the multipart parser) and a
// last time with no data, where the handler or the static file runs and the
// answer is queued. Queuing on that last call, never the first, keeps the
// connection alive. The completion callback removes every temporary file.

#include "web/web.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <linux/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#include "common/diag.h"
#include "common/fileio.h"
#include "web/doc_cache.h"
#include "web/rules.h"
#include "web/static_files.h"

namespace web {
namespace {

// Listener registry: lets another thread find the socket (and the wake
// eventfd) of a listener id. Ids are never reused.
struct ListenerEntry {
    int id;
    int socket;
    int wake;
};
std::mutex registryLock;
std::vector<ListenerEntry> registry;
int nextListenerId = 0;

int registerListener(int socket, int wake) {
    std::lock_guard<std::mutex> guard(registryLock);
    int id = nextListenerId;
    nextListenerId = id == std::numeric_limits<int>::max() ? 0 : id + 1;
    registry.push_back({id, socket, wake});
    return id;
}

void unregisterListener(int id) {
    std::lock_guard<std::mutex> guard(registryLock);
    std::erase_if(registry, [id](const ListenerEntry& e) { return e.id == id; });
}

bool startsWithNoCase(const char* text, std::string_view prefix) {
    if (!text) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c == '\0') return false;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// Whether `text` holds `word` (lower case), in any case.
bool containsNoCase(const char* text, std::string_view word) {
    for (; *text; ++text) {
        if (startsWithNoCase(text, word)) return true;
    }
    return false;
}

// A temporary file of one request; removed when the request ends unless the
// handler moved it away (the inode check keeps a later file of the same name).
struct TempFile {
    std::string path;
    fileio::Fd fd;
    dev_t dev = 0;
    ino_t ino = 0;

    bool create(const std::string& dir, const char* stem) {
        path = dir;
        path += '/';
        path += stem;
        path += "-XXXXXX";
        fd.reset(::mkostemp(path.data(), O_CLOEXEC));
        if (!fd.valid()) {
            path.clear();
            return false;
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0) {
            dev = st.st_dev;
            ino = st.st_ino;
        }
        return true;
    }
    void closeOnly() { fd.reset(); }
    void remove() {
        fd.reset();
        if (path.empty()) return;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino)
            ::unlink(path.c_str());
        path.clear();
    }
};

// Set when libmicrohttpd reports that a request did not fit in the
// connection's memory; it then closes the connection without an answer, and
// the layer answers 431 for it (see RequestImpl::closing). Server thread only.
bool requestTooBig = false;

void mhdLog(void*, const char* fmt, va_list ap) {
    char line[512];
    std::vsnprintf(line, sizeof line, fmt, ap);
    if (std::strstr(line, "Not enough memory")) requestTooBig = true;
    std::size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
    DEBUG_LINE("libmicrohttpd: %s\n", line);
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Nothing in an answer that is not a page may run or be framed.
constexpr const char* kOtherPolicy = "default-src 'none'; frame-ancestors 'none'";

// Pages may run scripts and styles of their own origin only; pictures also
// come from blob: and data: (previews).
constexpr const char* kPagePolicy =
    "default-src 'self'; img-src 'self' blob: data:; frame-ancestors 'none'";

// Headers of every answer. `noStore` for answers that must not be cached
// (commands and error answers).
void addSafetyHeaders(MHD_Response* r, bool noStore, const char* policy = kOtherPolicy) {
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Content-Security-Policy", policy);
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    if (noStore) MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
}

// The host part of a Host value or URL authority ("name", "name:port",
// "[v6]:port"); empty when malformed.
std::string_view hostOf(std::string_view authority) {
    if (authority.starts_with('[')) {
        std::size_t end = authority.find(']');
        if (end == std::string_view::npos) return {};
        std::string_view rest = authority.substr(end + 1);
        if (!rest.empty() && !rest.starts_with(':')) return {};
        return authority.substr(0, end + 1);
    }
    std::size_t colon = authority.find(':');
    std::string_view host = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
        std::string_view port = authority.substr(colon + 1);
        if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos) return {};
    }
    return host;
}

// A name that can only lead to this device: an IP literal, localhost, a
// single-label or .local name, or one the authentication file lists. Any
// other DNS name may have been rebound to our address by a foreign site.
bool hostAccepted(std::string_view host, const detail::AccessRules& access) {
    if (host.empty()) return false;
    std::string text(host);
    unsigned char addr[16];
    if (text.front() == '[' && text.back() == ']')
        return inet_pton(AF_INET6, text.substr(1, text.size() - 2).c_str(), addr) == 1;
    if (text.find_first_not_of("0123456789.") == std::string::npos)
        return inet_pton(AF_INET, text.c_str(), addr) == 1;
    if (text.back() == '.') text.pop_back();
    if (text.find('.') == std::string::npos || equalNoCase(text, "localhost")) return !text.empty();
    if (text.size() > 6 && equalNoCase(std::string_view(text).substr(text.size() - 6), ".local"))
        return true;
    return access.hostListed(text);
}

// An authority without the scheme's default port, for comparison.
std::string_view withoutDefaultPort(std::string_view authority, std::string_view port) {
    if (authority.ends_with(port)) authority.remove_suffix(port.size());
    return authority;
}

// True when the Origin header names another site than the Host header.
bool foreignOrigin(const char* origin, const char* host) {
    std::string_view o(origin);
    std::string_view port = ":80";
    if (o.starts_with("http://")) {
        o.remove_prefix(7);
    } else if (o.starts_with("https://")) {
        o.remove_prefix(8);
        port = ":443";
    } else {
        return true;  // "null" and anything else that names no site of ours
    }
    if (!host) return true;
    return !equalNoCase(withoutDefaultPort(o, port), withoutDefaultPort(host, port));
}

// Bytes a TCP socket has taken in so far (the kernel keeps the count);
// false where the count is not available.
bool bytesReceived(int fd, std::uint64_t& in) {
    tcp_info info {};
    socklen_t len = sizeof info;
    if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return false;
    in = info.tcpi_bytes_received;
    return true;
}

// The descriptors the loop waits for, in one epoll instance kept in step
// with the sets libmicrohttpd asks for each turn. With keep-alive traffic
// the sets rarely change, so a turn costs one epoll_wait and no epoll_ctl.
class Watcher {
public:
    bool open() {
        epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
        registered_.clear();
        return epoll_.valid();
    }
    void close() { epoll_.reset(); }
    // The descriptor number was closed or is new: whatever was known of it
    // no longer holds.
    void forget(int fd) {
        if (fd >= 0 && static_cast<std::size_t>(fd) < registered_.size()) registered_[fd] = 0;
    }
    void forgetAll() { std::fill(registered_.begin(), registered_.end(), 0u); }
    void clearWanted() { std::fill(wanted_.begin(), wanted_.end(), 0u); }
    void want(int fd, std::uint32_t events) {
        if (fd < 0) return;
        auto at = static_cast<std::size_t>(fd);
        if (at >= wanted_.size()) {
            wanted_.resize(at + 1, 0u);
            registered_.resize(at + 1, 0u);
        }
        wanted_[at] |= events;
    }
    bool wanted(int fd, std::uint32_t events) const {
        return fd >= 0 && static_cast<std::size_t>(fd) < wanted_.size() && (wanted_[fd] & events);
    }
    // Brings the epoll set in line with what is wanted.
    void apply() {
        for (std::size_t fd = 0; fd < wanted_.size(); ++fd) {
            std::uint32_t want = wanted_[fd], have = registered_[fd];
            if (want == have) continue;
            epoll_event ev {};
            ev.events = want;
            ev.data.fd = static_cast<int>(fd);
            int f = static_cast<int>(fd);
            if (want == 0) {
                ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, f, nullptr);  // may be closed already
            } else if (have == 0) {
                if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, f, &ev) != 0 && errno == EEXIST)
                    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, f, &ev);
            } else if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, f, &ev) != 0 && errno == ENOENT) {
                ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, f, &ev);
            }
            registered_[fd] = want;
        }
    }
    int wait(int timeout) { return ::epoll_wait(epoll_.get(), events_, kEvents, timeout); }
    const epoll_event& event(int i) const { return events_[i]; }

private:
    static constexpr int kEvents = 128;
    fileio::Fd epoll_;
    std::vector<std::uint32_t> registered_, wanted_;
    epoll_event events_[kEvents];
};

struct Canned {
    int status;
    const char* text;
    const char* allow;  // for 405
};
constexpr Canned kCanned[] = {
    {400, "Bad Request\n", nullptr},
    {403, "Forbidden\n", nullptr},
    {404, "Not Found\n", nullptr},
    {405, "Method Not Allowed\n", "GET, HEAD"},
    {405, "Method Not Allowed\n", "GET, POST"},
    {413, "Payload Too Large\n", nullptr},
    {421, "Misdirected Request\n", nullptr},
    {500, "Internal Server Error\n", nullptr},
};
constexpr std::size_t kCannedCount = sizeof kCanned / sizeof kCanned[0];

}  // namespace

class RequestImpl;
void addDocumentHeaders(MHD_Response* r, const char* served, const char* lastModified,
                        bool notModified);
struct SuspendState;

// Everything a server holds; Server::Impl is this under the header's name.
struct ServerCore {
    detail::DocumentRoot docs;
    detail::DocCache cache;
    detail::RouteTable routes;
    detail::AccessRules access;
    std::vector<std::pair<std::string, Action>> actions;
    std::string index = "index.html";
    std::string ipAddr;
    std::string host;
    Limits limits;
    std::function<bool(std::string_view)> sessionCheck;
    bool stopping = false;

    MHD_Daemon* daemon = nullptr;
    int listenerId = -1;
    int listenFd = -1;  // owned by the daemon
    fileio::Fd wakeFd;
    Watcher watcher;
    int watchedCacheFd = -1;

    // Every open connection, for the slow-client sweep.
    std::vector<RequestImpl*> connections;
    std::chrono::steady_clock::time_point lastSweep;

    // Requests suspended now (or resumed and not yet handled again).
    std::vector<std::shared_ptr<SuspendState>> suspended;
    // Work handed to the server thread by Server::post.
    std::mutex postLock;
    std::vector<std::function<void()>> posted;

    // Connection states waiting for reuse, so that new connections do not
    // allocate.
    std::vector<std::unique_ptr<RequestImpl>> spare;
    MHD_Response* canned[kCannedCount] = {};
    // The last few small answers, kept as responses: the same text answered
    // again (an envelope like {"Result": "OK"}) goes out without building a
    // response and its headers again. Replaced in turn; server thread only.
    struct KeptAnswer {
        std::string type, body;
        MHD_Response* response = nullptr;
    };
    static constexpr std::size_t kKeptAnswers = 4;
    static constexpr std::size_t kKeptAnswerMax = 512;
    KeptAnswer kept[kKeptAnswers];
    std::size_t nextKept = 0;

    MHD_Response* cannedResponse(int status, const char* allow = "GET, HEAD");
    void sweepSlowClients();
    const Action* findAction(const std::string& name) const;
    void dropSuspended();
    void runPosted();
    void stopListening();
    void releaseCanned();

    static MHD_Result onAccess(void* cls, MHD_Connection* conn, const char* url,
                               const char* method, const char* version, const char* data,
                               size_t* dataSize, void** requestContext);
    static void* onUri(void* cls, const char* uri, MHD_Connection* conn);
    static void onCompleted(void* cls, MHD_Connection* conn, void** requestContext,
                            MHD_RequestTerminationCode code);
    static void onConnection(void* cls, MHD_Connection* conn, void** socketContext,
                             MHD_ConnectionNotificationCode code);
};

}  // namespace web

struct web::Server::Impl : web::ServerCore {};

namespace web {

// One per TCP connection, reused for each request on it.
class RequestImpl final : public Request {
public:
    explicit RequestImpl(ServerCore& server) : server_(server) {}
    ~RequestImpl() override { finish(); }

    const std::string& url() const override { return url_; }
    const std::string& method() const override { return method_; }
    std::string_view body() const override { return body_; }
    std::uint64_t bodyLength() const override { return bodyLength_; }
    const std::string& bodyFile() const override { return spool_.path; }
    const std::string& clientAddress() const override;
    const UploadedFile* upload() const override { return hasUpload_ ? &upload_ : nullptr; }
    void respond(int status, std::string_view contentType, std::string_view body) override;
    bool responded() const override;
    bool headOnly() const override { return headOnly_; }
    std::uint64_t declaredLength() const override { return declared_; }
    const char* header(const char* name) const override {
        return conn_ ? MHD_lookup_connection_value(conn_, MHD_HEADER_KIND, name) : nullptr;
    }
    Resume suspend() override;

    void attach(MHD_Connection* conn) {
        conn_ = conn;
        addressKnown_ = false;
        handled_ = sweptAway_ = begun_ = false;
        countable_ = true;
        consumed_ = 0;
        phaseStart_ = std::chrono::steady_clock::now();
    }
    // The answer is out: the next head has its time from now. The request's
    // bytes are added to those the connection has used, as long as they are
    // known exactly and the connection is meant to stay open.
    void answered() {
        handled_ = begun_ = false;
        phaseStart_ = std::chrono::steady_clock::now();
        if (countable_ && headSize_ > 0 && !closeAfter_ && declared_ != UINT64_MAX &&
            received_ == declared_)
            consumed_ += headSize_ + declared_;
        else
            countable_ = false;
    }
    // Closes the connection when its head or body comes too slowly.
    void checkPace(std::chrono::steady_clock::time_point now);
    // The connection closes: a request libmicrohttpd dropped without a word
    // (a request line it cannot parse, a head too big for the connection's
    // memory) gets its 400 or 431 here.
    void closing();
    void begin(const char* uri);
    void finish();
    // The server stops while this request is suspended: its files go, the
    // object lives on in its suspension state for late calls.
    static void orphan(std::unique_ptr<RequestImpl> request);
    bool dropped() const;
    bool suspended() const { return suspension_ != nullptr; }
    MHD_Result handle(const char* method, const char* version, const char* data, size_t* dataSize);

private:
    // The path part of the request target (before any '?').
    std::string_view path() const { return std::string_view(url_).substr(0, url_.find('?')); }
    MHD_Result firstCall(const char* method, const char* version);
    // The status a request is refused with before its body, or 0.
    int refusal(const char* version);
    int socket() const {
        const MHD_ConnectionInfo* info =
            conn_ ? MHD_get_connection_info(conn_, MHD_CONNECTION_INFO_CONNECTION_FD) : nullptr;
        return info ? info->connect_fd : -1;
    }
    void receive(const char* data, std::size_t size);
    MHD_Result prepareBody(std::uint64_t declared);
    MHD_Result lastCall();
    // Called again after a resume: queues the answer given meanwhile.
    MHD_Result afterResume();
    bool queueAnswer(int status, std::string_view contentType, std::string_view body);
    // Runs one handler of the action; exceptions end in an error line.
    void callHandler(const std::function<void(Request&)>& handler, const char* what);
    void runAction(const detail::RouteRule& rule);
    void serveStatic();
    void serveCached(const detail::DocCache::Entry& doc);
    bool queueCanned(int status);
    bool isAction() const { return route_ && route_->kind == detail::RouteRule::Kind::Action; }
    // True when a session rule covers the document and the query has no
    // live session id.
    bool lacksSession(const std::string& cleanPath) const;
    // Ends the multipart parser and removes the spooled body and the upload.
    void discardFiles();
    // Stops keeping the body: what was kept is thrown away.
    void dropBody();
    static MHD_Result onPostData(void* cls, MHD_ValueKind kind, const char* key,
                                 const char* filename, const char* contentType,
                                 const char* transferEncoding, const char* data, uint64_t off,
                                 size_t size);

    ServerCore& server_;
    MHD_Connection* conn_ = nullptr;
    mutable std::string address_;
    mutable bool addressKnown_ = false;

    std::string url_;
    std::string method_;
    std::string body_;
    std::uint64_t bodyLength_ = 0;
    std::uint64_t received_ = 0;
    TempFile spool_;
    TempFile uploadFile_;
    UploadedFile upload_;
    bool hasUpload_ = false;
    std::string uploadKey_;
    std::string uploadName_;
    MHD_PostProcessor* post_ = nullptr;
    std::string scratch_;

    const detail::RouteRule* route_ = nullptr;
    std::uint64_t declared_ = 0;
    // Set while suspended: the owner on the server thread, and the pointer
    // other threads use (stays valid until the request is resumed and
    // handled again, or, for a dropped request, as long as the object).
    std::shared_ptr<SuspendState> suspendOwner_;
    SuspendState* suspension_ = nullptr;
    int pendingStatus_ = 0;  // answer decided before the last call
    std::chrono::steady_clock::time_point phaseStart_, bodyStart_;
    // Bytes of the requests answered on this connection (heads and bodies),
    // while that is known exactly; compared with the socket's count when
    // libmicrohttpd drops the connection.
    std::uint64_t consumed_ = 0;
    std::size_t headSize_ = 0;  // this request's request line and headers
    bool countable_ = true;
    bool closeAfter_ = false;  // this request's answer ends the connection
    bool begun_ = false;       // a request line was read since the last answer
    bool handled_ = false;     // the access handler ran since the last answer
    bool sweptAway_ = false;  // closed for slowness
    bool headOnly_ = false;
    bool started_ = false;
    bool keepBody_ = false;
    bool inLastCall_ = false;
    bool responded_ = false;
    bool queued_ = false;
};

// Shared between a suspended request, its Resume and the server: the answer
// given while suspended and whether the connection may still be resumed.
struct SuspendState {
    std::mutex lock;
    MHD_Connection* conn = nullptr;
    int wake = -1;  // the server loop's eventfd, while live
    bool live = true;  // false once the server dropped the request
    bool resumed = false;
    bool responded = false;
    int status = 0;
    std::string type, body;
    std::unique_ptr<RequestImpl> orphan;  // a dropped request, kept for late calls

    void resume() {
        std::lock_guard<std::mutex> guard(lock);
        if (!live || resumed) return;
        resumed = true;
        MHD_resume_connection(conn);
        // libmicrohttpd has no wake-up channel of its own in external select
        // mode: the loop is woken here and takes the connection up.
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);
    }
};

const std::string& RequestImpl::clientAddress() const {
    if (!addressKnown_) {
        addressKnown_ = true;
        address_.clear();
        const MHD_ConnectionInfo* info =
            conn_ ? MHD_get_connection_info(conn_, MHD_CONNECTION_INFO_CLIENT_ADDRESS) : nullptr;
        if (info && info->client_addr) {
            char text[INET6_ADDRSTRLEN] = "";
            const sockaddr* sa = info->client_addr;
            if (sa->sa_family == AF_INET) {
                inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text,
                          sizeof text);
            } else if (sa->sa_family == AF_INET6) {
                inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text,
                          sizeof text);
            }
            address_ = text;
        }
    }
    return address_;
}

void RequestImpl::begin(const char* uri) {
    finish();
    begun_ = true;
    std::string_view target(uri ? uri : "");
    // Absolute form ("http://host:port/path?query") is routed by its path.
    std::size_t scheme = target.find("://");
    if (scheme != std::string_view::npos && scheme > 0 && target.front() != '/' &&
        target.substr(0, scheme).find_first_of("/?") == std::string_view::npos) {
        target.remove_prefix(scheme + 3);
        std::size_t path = target.find_first_of("/?");
        target = path == std::string_view::npos ? std::string_view("/") : target.substr(path);
        if (target.front() == '?') {
            url_.clear();  // (push_back: GCC 12 warns falsely about assign("/") here)
            url_.push_back('/');
            url_.append(target);
            return;
        }
    }
    url_.assign(target);
}

void RequestImpl::finish() {
    if (suspension_ && dropped()) {
        discardFiles();  // the rest stays for the handler's late calls
        return;
    }
    if (suspendOwner_) std::erase(server_.suspended, suspendOwner_);
    suspendOwner_.reset();
    suspension_ = nullptr;
    discardFiles();
    upload_.tempPath.clear();
    upload_.contentType.clear();
    upload_.size = 0;
    uploadKey_.clear();
    uploadName_.clear();
    // A large body's buffer is given back; small ones are kept for reuse.
    if (body_.capacity() > 64 * 1024) std::string().swap(body_);
    body_.clear();
    bodyLength_ = 0;
    received_ = 0;
    url_.clear();
    method_.clear();
    route_ = nullptr;
    declared_ = 0;
    headSize_ = 0;
    closeAfter_ = false;
    pendingStatus_ = 0;
    headOnly_ = started_ = keepBody_ = inLastCall_ = responded_ = queued_ = false;
}

bool RequestImpl::dropped() const {
    std::lock_guard<std::mutex> guard(suspension_->lock);
    return !suspension_->live;
}

void RequestImpl::orphan(std::unique_ptr<RequestImpl> request) {
    std::shared_ptr<SuspendState> state = std::move(request->suspendOwner_);
    request->conn_ = nullptr;
    std::lock_guard<std::mutex> guard(state->lock);
    state->orphan = std::move(request);
}

MHD_Result RequestImpl::handle(const char* method, const char* version, const char* data,
                               size_t* dataSize) {
    if (suspension_) return afterResume();
    if (!started_) {
        MHD_Result result = firstCall(method, version);
        // An answer queued with the head closes the connection.
        closeAfter_ = closeAfter_ || queued_;
        return result;
    }
    if (*dataSize > 0) {
        receive(data, *dataSize);
        *dataSize = 0;
        return MHD_YES;
    }
    return lastCall();
}

int RequestImpl::refusal(const char* version) {
    const char* host = header(MHD_HTTP_HEADER_HOST);
    if (!host && std::strcmp(version ? version : "", MHD_HTTP_VERSION_1_0) != 0) return 400;
    if (host && !hostAccepted(hostOf(host), server_.access)) return 421;
    if (!isAction()) return 0;
    if (method_ != MHD_HTTP_METHOD_GET && method_ != MHD_HTTP_METHOD_POST) return 405;
    // A command sent by a page of another site runs nothing.
    const char* site = header("Sec-Fetch-Site");
    const char* origin = header("Origin");
    if ((site && equalNoCase(site, "cross-site")) || (origin && foreignOrigin(origin, host))) return 403;
    return 0;
}

MHD_Result RequestImpl::firstCall(const char* method, const char* version) {
    started_ = handled_ = true;
    bodyStart_ = std::chrono::steady_clock::now();
    method_.assign(method ? method : "");
    const Limits& limits = server_.limits;
    if (const MHD_ConnectionInfo* info =
            MHD_get_connection_info(conn_, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE))
        headSize_ = info->header_size;
    // HTTP/1.0 closes unless asked not to; "close" always does.
    const char* connection = header(MHD_HTTP_HEADER_CONNECTION);
    closeAfter_ = (connection && containsNoCase(connection, "close")) ||
                  (std::strcmp(version ? version : "", MHD_HTTP_VERSION_1_1) != 0 &&
                   !(connection && containsNoCase(connection, "keep-alive")));

    if (header(MHD_HTTP_HEADER_TRANSFER_ENCODING) && header(MHD_HTTP_HEADER_CONTENT_LENGTH)) {
        // Two framings that may disagree: nothing more is read from this
        // connection (the answer in this first call closes it).
        responded_ = true;
        return queueCanned(400) ? MHD_YES : MHD_NO;
    }

    const char* length = MHD_lookup_connection_value(conn_, MHD_HEADER_KIND,
                                                     MHD_HTTP_HEADER_CONTENT_LENGTH);
    std::uint64_t declared = 0;
    if (length) {
        const char* end = length + std::strlen(length);
        auto [p, ec] = std::from_chars(length, end, declared);
        if (ec == std::errc::result_out_of_range) declared = UINT64_MAX;
    }
    declared_ = declared;
    if (MHD_lookup_connection_value(conn_, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING))
        declared_ = UINT64_MAX;
    if (declared > limits.maxBody) {
        // Refused before a byte of the body is read; the connection closes.
        responded_ = true;
        return queueCanned(413) ? MHD_YES : MHD_NO;
    }

    route_ = server_.routes.match(path());
    pendingStatus_ = refusal(version);
    if (pendingStatus_ == 0 && !route_) pendingStatus_ = 404;
    if (pendingStatus_ != 0) {
        if (declared_ <= limits.gatedBody) return MHD_YES;  // answered after the body, kept alive
        responded_ = true;  // a large body is not read for a refusal
        return queueCanned(pendingStatus_) ? MHD_YES : MHD_NO;
    }
    if (!isAction()) return MHD_YES;

    const Action* action = server_.findAction(route_->action);
    if (action && action->onHead && declared_ > limits.gatedBody && !server_.access.denied(path())) {
        // The gate runs before the body: a refusal here is sent at once, in
        // this first call, so the connection closes without reading it.
        headOnly_ = true;
        callHandler(action->onHead, "head of action");
        if (suspension_) return MHD_YES;
        headOnly_ = false;
        if (responded_) return queued_ ? MHD_YES : MHD_NO;
    }
    return prepareBody(declared);
}

MHD_Result RequestImpl::prepareBody(std::uint64_t declared) {
    const Limits& limits = server_.limits;
    bodyStart_ = std::chrono::steady_clock::now();
    keepBody_ = true;
    const char* type = MHD_lookup_connection_value(conn_, MHD_HEADER_KIND,
                                                   MHD_HTTP_HEADER_CONTENT_TYPE);
    if (startsWithNoCase(type, "multipart/form-data")) {
        post_ = MHD_create_post_processor(conn_, 16 * 1024, &RequestImpl::onPostData, this);
        if (!post_) {
            pendingStatus_ = 400;
            keepBody_ = false;
        }
    } else if (declared > limits.memoryBody) {
        if (!spool_.create(limits.tempDirectory, "ws-body")) {
            ERROR_LINE("Cannot create a temporary file in %s: %s\n", limits.tempDirectory.c_str(),
                       std::strerror(errno));
            pendingStatus_ = 500;
            keepBody_ = false;
        }
    } else if (declared > 0) {
        // Only a little is reserved up front: a client that declares a body
        // and sends nothing must not pin memory on every connection.
        body_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(declared, 16 * 1024)));
    }
    return MHD_YES;
}

void RequestImpl::discardFiles() {
    if (post_) {
        MHD_destroy_post_processor(post_);
        post_ = nullptr;
    }
    spool_.remove();
    uploadFile_.remove();
    hasUpload_ = false;
}

void RequestImpl::dropBody() {
    keepBody_ = false;
    discardFiles();
    std::string().swap(body_);
    bodyLength_ = 0;
}

void RequestImpl::receive(const char* data, std::size_t size) {
    received_ += size;
    if (received_ > server_.limits.maxBody) {
        // Only a body without Content-Length gets here: the rest is read and
        // thrown away, the answer is 413.
        if (pendingStatus_ != 413) dropBody();
        pendingStatus_ = 413;
        return;
    }
    if (!keepBody_) return;
    if (post_) {
        if (MHD_post_process(post_, data, size) != MHD_YES) {
            dropBody();
            if (pendingStatus_ == 0) pendingStatus_ = 400;
        }
        return;
    }
    if (!spool_.fd.valid() && body_.size() + size > server_.limits.memoryBody) {
        // The body outgrows memory: move what is there to a file.
        if (!spool_.create(server_.limits.tempDirectory, "ws-body") ||
            !fileio::writeAll(spool_.fd.get(), body_.data(), body_.size())) {
            ERROR_LINE("Cannot spool a request body to %s: %s\n",
                       server_.limits.tempDirectory.c_str(), std::strerror(errno));
            dropBody();
            pendingStatus_ = 500;
            return;
        }
        std::string().swap(body_);
    }
    if (spool_.fd.valid()) {
        if (!fileio::writeAll(spool_.fd.get(), data, size)) {
            ERROR_LINE("Cannot write %s: %s\n", spool_.path.c_str(), std::strerror(errno));
            dropBody();
            pendingStatus_ = 500;
            return;
        }
    } else {
        body_.append(data, size);
    }
    bodyLength_ += size;
}

MHD_Result RequestImpl::onPostData(void* cls, MHD_ValueKind, const char* key,
                                   const char* filename, const char* contentType,
                                   const char*, const char* data, uint64_t off, size_t size) {
    auto* self = static_cast<RequestImpl*>(cls);
    // Plain form fields are not kept; only the first file part is stored.
    if (!filename) return MHD_YES;
    const char* k = key ? key : "";
    if (!self->hasUpload_) {
        if (off != 0) return MHD_YES;
        if (!self->uploadFile_.create(self->server_.limits.tempDirectory, "ws-upload")) {
            ERROR_LINE("Cannot create a temporary file in %s: %s\n",
                       self->server_.limits.tempDirectory.c_str(), std::strerror(errno));
            self->pendingStatus_ = 500;
            return MHD_NO;
        }
        self->hasUpload_ = true;
        self->uploadKey_ = k;
        self->uploadName_ = filename;
        self->upload_.tempPath = self->uploadFile_.path;
        self->upload_.contentType = contentType ? contentType : "";
        self->upload_.size = 0;
    } else if (!self->uploadFile_.fd.valid() || self->uploadKey_ != k ||
               self->uploadName_ != filename || off != self->upload_.size) {
        return MHD_YES;  // a later file part
    }
    if (size > 0 && !fileio::writeAll(self->uploadFile_.fd.get(), data, size)) {
        ERROR_LINE("Cannot write %s: %s\n", self->uploadFile_.path.c_str(), std::strerror(errno));
        self->pendingStatus_ = 500;
        return MHD_NO;
    }
    self->upload_.size += size;
    return MHD_YES;
}

MHD_Result RequestImpl::lastCall() {
    if (queued_) return MHD_YES;
    inLastCall_ = true;
    if (pendingStatus_ != 0) {
        int status = pendingStatus_;
        dropBody();
        responded_ = true;
        return queueCanned(status) ? MHD_YES : MHD_NO;
    }
    if (route_ && route_->kind == detail::RouteRule::Kind::Action) {
        runAction(*route_);
        if (suspension_) return MHD_YES;
    } else {
        serveStatic();
    }
    if (!queued_) {
        responded_ = true;
        return queueCanned(500) ? MHD_YES : MHD_NO;
    }
    return MHD_YES;
}

void RequestImpl::runAction(const detail::RouteRule& rule) {
    if (server_.access.denied(path())) {
        responded_ = true;
        queueCanned(403);
        return;
    }
    const Action* action = server_.findAction(rule.action);
    if (!action || !action->onRequest) {
        responded_ = true;
        queueCanned(404);
        return;
    }
    if (post_) {
        if (MHD_destroy_post_processor(post_) != MHD_YES && pendingStatus_ == 0) {
            // An incomplete multipart body: what was stored is not handed on.
            uploadFile_.remove();
            hasUpload_ = false;
        }
        post_ = nullptr;
    }
    // The files are complete; the handler may read or move them.
    spool_.closeOnly();
    uploadFile_.closeOnly();
    callHandler(action->onRequest, "action");
    if (suspension_) return;  // the files stay until the answer comes
    if (!responded_) {
        ERROR_LINE("action %s wrote no response to %s\n", rule.action.c_str(), url_.c_str());
    }
    // The handler is done with the files: they go before the answer is sent.
    spool_.remove();
    uploadFile_.remove();
}

void RequestImpl::callHandler(const std::function<void(Request&)>& handler, const char* what) {
    try {
        handler(*this);
    } catch (const std::exception& e) {
        ERROR_LINE("%s %s failed: %s\n", what, route_->action.c_str(), e.what());
    } catch (...) {
        ERROR_LINE("%s %s failed\n", what, route_->action.c_str());
    }
}

Request::Resume RequestImpl::suspend() {
    if (suspension_ || responded_ || !conn_ || !(headOnly_ || inLastCall_)) return [] {};
    auto state = std::make_shared<SuspendState>();
    state->conn = conn_;
    state->wake = server_.wakeFd.get();
    MHD_suspend_connection(conn_);
    suspendOwner_ = state;
    suspension_ = state.get();
    server_.suspended.push_back(state);
    return [state] { state->resume(); };
}

MHD_Result RequestImpl::afterResume() {
    SuspendState& s = *suspension_;
    std::unique_lock<std::mutex> guard(s.lock);
    bool answered = s.responded;
    int status = s.status;
    std::string type = std::move(s.type), body = std::move(s.body);
    guard.unlock();
    std::erase(server_.suspended, suspendOwner_);
    suspendOwner_.reset();
    suspension_ = nullptr;

    if (headOnly_) {
        headOnly_ = false;
        if (!answered) return prepareBody(declared_ == UINT64_MAX ? 0 : declared_);
        // Still the first call for libmicrohttpd: the body is never read.
        responded_ = true;
        return queueAnswer(status, type, body) ? MHD_YES : MHD_NO;
    }
    if (!answered) ERROR_LINE("action %s wrote no response to %s\n", route_->action.c_str(), url_.c_str());
    responded_ = true;
    spool_.remove();
    uploadFile_.remove();
    bool ok = answered ? queueAnswer(status, type, body) : queueCanned(500);
    return ok ? MHD_YES : MHD_NO;
}

bool RequestImpl::responded() const {
    if (suspension_) {
        std::lock_guard<std::mutex> guard(suspension_->lock);
        return suspension_->responded;
    }
    return responded_;
}

void RequestImpl::respond(int status, std::string_view contentType, std::string_view body) {
    if (suspension_) {
        // Kept until the server thread handles the resumed request.
        std::lock_guard<std::mutex> guard(suspension_->lock);
        if (suspension_->responded || !suspension_->live) return;
        suspension_->responded = true;
        suspension_->status = status;
        suspension_->type = contentType;
        suspension_->body = body;
        return;
    }
    if (responded_) return;
    responded_ = true;
    if (!(inLastCall_ || headOnly_) || !conn_) return;
    queueAnswer(status, contentType, body);
}

bool RequestImpl::queueAnswer(int status, std::string_view contentType, std::string_view body) {
    const bool keep = body.size() <= ServerCore::kKeptAnswerMax;
    if (keep) {
        for (const ServerCore::KeptAnswer& k : server_.kept) {
            if (k.response && k.body == body && k.type == contentType) {
                queued_ = MHD_queue_response(conn_, static_cast<unsigned>(status), k.response) == MHD_YES;
                return queued_;
            }
        }
    }
    MHD_Response* r = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return false;
    if (!contentType.empty()) {
        char type[128];
        if (contentType.size() < sizeof type) {
            std::memcpy(type, contentType.data(), contentType.size());
            type[contentType.size()] = '\0';
            MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
        } else {
            MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE,
                                    std::string(contentType).c_str());
        }
    }
    addSafetyHeaders(r, true);
    queued_ = MHD_queue_response(conn_, static_cast<unsigned>(status), r) == MHD_YES;
    if (keep) {
        // The oldest kept answer makes room (a connection still sending it
        // holds its own reference).
        ServerCore::KeptAnswer& k = server_.kept[server_.nextKept];
        server_.nextKept = (server_.nextKept + 1) % ServerCore::kKeptAnswers;
        if (k.response) MHD_destroy_response(k.response);
        k.type = contentType;
        k.body = body;
        k.response = r;
    } else {
        MHD_destroy_response(r);
    }
    return queued_;
}

bool RequestImpl::queueCanned(int status) {
    MHD_Response* r = server_.cannedResponse(status, isAction() ? "GET, POST" : "GET, HEAD");
    if (!r) return false;
    queued_ = MHD_queue_response(conn_, static_cast<unsigned>(status), r) == MHD_YES;
    return queued_;
}

void RequestImpl::serveStatic() {
    responded_ = true;
    bool head = method_ == MHD_HTTP_METHOD_HEAD;
    if (!head && method_ != MHD_HTTP_METHOD_GET) {
        queueCanned(405);
        return;
    }
    detail::PathCheck check = detail::cleanRequestPath(path(), scratch_);
    if (check != detail::PathCheck::Ok) {
        queueCanned(check == detail::PathCheck::Forbidden ? 403 : 400);
        return;
    }
    // Deny rules see the cleaned path with its leading '/'.
    scratch_.insert(scratch_.begin(), '/');
    if (server_.access.denied(scratch_) || lacksSession(scratch_)) {
        queueCanned(403);
        return;
    }
    scratch_.erase(0, 1);

    int fd = -1;
    off_t size = 0;
    std::time_t mtime = 0;
    std::string served;
    const detail::DocCache::Entry* cached = server_.cache.find(scratch_);
    int status = 0;
    if (!cached) status = server_.docs.openDocument(scratch_, server_.index, fd, size, mtime, served);
    if (status != 0) {
        queueCanned(status);
        return;
    }
    if (!cached && size <= static_cast<off_t>(detail::DocCache::kMaxDocument)) {
        cached = server_.cache.add(scratch_, served, static_cast<std::size_t>(size));
        if (cached) ::close(fd);
    }
    if (cached) {
        serveCached(*cached);
        return;
    }
    char lastModified[40];
    detail::formatHttpDate(mtime, lastModified, sizeof lastModified);

    const char* since = MHD_lookup_connection_value(conn_, MHD_HEADER_KIND,
                                                    MHD_HTTP_HEADER_IF_MODIFIED_SINCE);
    std::time_t sinceTime = 0;
    if (since && detail::parseHttpDate(since, sinceTime) && mtime <= sinceTime) {
        // The descriptor's response carries the length a 200 would have;
        // libmicrohttpd sends no body with a 304.
        MHD_Response* r = MHD_create_response_from_fd64(static_cast<uint64_t>(size), fd);
        if (!r) {
            ::close(fd);
            return;
        }
        addDocumentHeaders(r, served.c_str(), lastModified, true);
        queued_ = MHD_queue_response(conn_, MHD_HTTP_NOT_MODIFIED, r) == MHD_YES;
        MHD_destroy_response(r);
        return;
    }
    // The response owns the descriptor from here and sends it with sendfile.
    MHD_Response* r = MHD_create_response_from_fd64(static_cast<uint64_t>(size), fd);
    if (!r) {
        ::close(fd);
        return;
    }
    addDocumentHeaders(r, served.c_str(), lastModified, false);
    queued_ = MHD_queue_response(conn_, MHD_HTTP_OK, r) == MHD_YES;
    MHD_destroy_response(r);
}

void RequestImpl::serveCached(const detail::DocCache::Entry& doc) {
    const char* since = MHD_lookup_connection_value(conn_, MHD_HEADER_KIND,
                                                    MHD_HTTP_HEADER_IF_MODIFIED_SINCE);
    std::time_t sinceTime = 0;
    bool fresh = since && detail::parseHttpDate(since, sinceTime) && doc.mtime <= sinceTime;
    queued_ = MHD_queue_response(conn_, fresh ? MHD_HTTP_NOT_MODIFIED : MHD_HTTP_OK,
                                 fresh ? doc.notModified : doc.ok) == MHD_YES;
}

// The headers of a document answer, or of its 304 answer (no content type).
// A 304 carries the same policy: its headers replace those the browser keeps.
// Documents are revalidated before each use (a firmware upgrade replaces
// scripts and styles under the same names).
void addDocumentHeaders(MHD_Response* r, const char* served, const char* lastModified,
                        bool notModified) {
    const char* type = detail::contentTypeFor(served);
    if (!notModified) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(r, MHD_HTTP_HEADER_LAST_MODIFIED, lastModified);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    addSafetyHeaders(r, false, std::strcmp(type, "text/html") == 0 ? kPagePolicy : kOtherPolicy);
}

MHD_Response* ServerCore::cannedResponse(int status, const char* allow) {
    for (std::size_t i = 0; i < kCannedCount; ++i) {
        const Canned& c = kCanned[i];
        if (c.status != status || (c.allow && std::strcmp(c.allow, allow) != 0)) continue;
        if (!canned[i]) {
            MHD_Response* r = MHD_create_response_from_buffer(
                std::strlen(c.text), const_cast<char*>(c.text), MHD_RESPMEM_PERSISTENT);
            if (!r) return nullptr;
            MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
            if (c.allow) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, c.allow);
            addSafetyHeaders(r, true);
            canned[i] = r;
        }
        return canned[i];
    }
    return cannedResponse(500);
}

bool RequestImpl::lacksSession(const std::string& cleanPath) const {
    if (!server_.access.needsSession(cleanPath)) return false;
    std::string_view query(url_);
    std::size_t q = query.find('?');
    query = q == std::string_view::npos ? std::string_view() : query.substr(q + 1);
    while (!query.empty()) {
        std::string_view pair = query.substr(0, query.find('&'));
        query.remove_prefix(std::min(query.size(), pair.size() + 1));
        if (pair.starts_with("sessionid="))
            return !server_.sessionCheck || !server_.sessionCheck(pair.substr(10));
    }
    return true;
}

void RequestImpl::checkPace(std::chrono::steady_clock::time_point now) {
    if (sweptAway_ || suspension_ || queued_ || inLastCall_ || !conn_) return;
    const Limits& l = server_.limits;
    const std::chrono::seconds grace(l.headTimeoutSeconds);
    bool slow;
    if (!started_) {
        slow = now - phaseStart_ > grace;
    } else {
        auto taken = now - bodyStart_;
        double seconds = std::chrono::duration<double>(taken).count();
        slow = taken > grace && static_cast<double>(received_) < seconds * static_cast<double>(l.minBodyRate);
    }
    int fd = slow ? socket() : -1;
    if (fd < 0) return;
    DEBUG_LINE("closing a slow connection from %s\n", clientAddress().c_str());
    sweptAway_ = true;
    ::shutdown(fd, SHUT_RDWR);  // libmicrohttpd sees the end and closes it
}

void RequestImpl::closing() {
    int fd = socket();
    if (handled_ || sweptAway_ || server_.stopping || fd < 0 || !countable_) return;
    // An idle connection that timed out is closed quietly.
    if (std::chrono::steady_clock::now() - phaseStart_ >=
        std::chrono::seconds(server_.limits.idleTimeoutSeconds))
        return;
    char c;
    ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return;  // the client left
    if (!(requestTooBig && begun_)) {
        // A request libmicrohttpd began and dropped was answered by it.
        if (begun_) return;
        // Bytes beyond the answered requests that began no request: a line
        // it could not parse. A line that filled its buffer was answered by
        // it (414), so only shorter ones are answered here.
        std::uint64_t in = 0;
        if (!bytesReceived(fd, in) || in <= consumed_ || in - consumed_ >= server_.limits.connectionMemory / 4)
            return;
    }
    bool tooBig = requestTooBig;
    requestTooBig = false;
    const char* reason = tooBig ? "Request Header Fields Too Large" : "Bad Request";
    char date[40];
    detail::formatHttpDate(std::time(nullptr), date, sizeof date);
    char text[512];
    int len = std::snprintf(text, sizeof text,
                            "HTTP/1.1 %s\r\nDate: %s\r\nConnection: close\r\n"
                            "Content-Type: text/plain\r\nX-Content-Type-Options: nosniff\r\n"
                            "X-Frame-Options: DENY\r\nContent-Security-Policy: %s\r\n"
                            "Referrer-Policy: no-referrer\r\nCache-Control: no-store\r\n"
                            "Content-Length: %zu\r\n\r\n%s\n",
                            tooBig ? "431 Request Header Fields Too Large" : "400 Bad Request", date,
                            kOtherPolicy, std::strlen(reason) + 1, reason);
    if (len > 0 && static_cast<std::size_t>(len) < sizeof text)
        [[maybe_unused]] ssize_t sent = ::send(fd, text, static_cast<std::size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void ServerCore::sweepSlowClients() {
    auto now = std::chrono::steady_clock::now();
    if (now - lastSweep < std::chrono::milliseconds(500)) return;
    lastSweep = now;
    for (RequestImpl* r : connections) r->checkPace(now);
}

const Action* ServerCore::findAction(const std::string& name) const {
    for (const auto& [n, a] : actions) {
        if (n == name) return &a;
    }
    return nullptr;
}

void ServerCore::dropSuspended() {
    // libmicrohttpd refuses to stop with suspended connections: each is
    // resumed (unless its Resume already did) and then closed by the stop.
    for (const std::shared_ptr<SuspendState>& state : suspended) {
        std::lock_guard<std::mutex> guard(state->lock);
        state->live = false;
        if (!state->resumed) MHD_resume_connection(state->conn);
        state->resumed = true;
    }
}

void ServerCore::runPosted() {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> guard(postLock);
        work.swap(posted);
    }
    for (auto& fn : work) fn();
}

void ServerCore::releaseCanned() {
    for (MHD_Response*& r : canned) {
        if (r) MHD_destroy_response(r);
        r = nullptr;
    }
    for (KeptAnswer& k : kept) {
        if (k.response) MHD_destroy_response(k.response);
        k = KeptAnswer();
    }
}

void* ServerCore::onUri(void*, const char* uri, MHD_Connection* conn) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    auto* request = info ? static_cast<RequestImpl*>(info->socket_context) : nullptr;
    if (request) request->begin(uri);
    return request;
}

MHD_Result ServerCore::onAccess(void*, MHD_Connection*, const char*, const char* method,
                                  const char* version, const char* data, size_t* dataSize,
                                  void** requestContext) {
    auto* request = static_cast<RequestImpl*>(*requestContext);
    if (!request) return MHD_NO;
    return request->handle(method, version, data, dataSize);
}

void ServerCore::onCompleted(void*, MHD_Connection*, void** requestContext,
                               MHD_RequestTerminationCode code) {
    auto* request = static_cast<RequestImpl*>(*requestContext);
    if (request) {
        if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK) request->answered();
        request->finish();
    }
    *requestContext = nullptr;
}

void ServerCore::onConnection(void* cls, MHD_Connection* conn, void** socketContext,
                                MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<ServerCore*>(cls);
    // A socket number starts or ends here: the loop's epoll set must not
    // take it for the one it watched before.
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD))
        self->watcher.forget(info->connect_fd);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        std::unique_ptr<RequestImpl> request;
        if (!self->spare.empty()) {
            request = std::move(self->spare.back());
            self->spare.pop_back();
        } else {
            request = std::make_unique<RequestImpl>(*self);
        }
        request->attach(conn);
        self->connections.push_back(request.get());
        *socketContext = request.release();
        return;
    }
    std::unique_ptr<RequestImpl> request(static_cast<RequestImpl*>(*socketContext));
    *socketContext = nullptr;
    if (!request) return;
    std::erase(self->connections, request.get());
    request->closing();
    request->finish();
    if (request->suspended()) {
        RequestImpl::orphan(std::move(request));
        return;
    }
    request->attach(nullptr);
    if (self->spare.size() < 16) self->spare.push_back(std::move(request));
}

void ServerCore::stopListening() {
    if (listenerId >= 0) unregisterListener(listenerId);
    listenerId = -1;
    stopping = true;
    dropSuspended();
    if (daemon) MHD_stop_daemon(daemon);
    suspended.clear();
    connections.clear();
    stopping = false;  // also closes the listening socket
    daemon = nullptr;
    listenFd = -1;
    std::lock_guard<std::mutex> guard(postLock);
    wakeFd.reset();
}

Server::Server() : impl_(std::make_unique<Impl>()) {}

Server::~Server() { close(); }

int Server::open(const std::string& documents, const std::string& routeFile) {
    close();
    if (!impl_->docs.open(documents)) {
        ERROR_LINE("Cannot open document root %s: %s\n", documents.c_str(), std::strerror(errno));
        return -1;
    }
    if (!impl_->routes.load(routeFile)) {
        impl_->docs.close();
        return -1;
    }
    // Without inotify documents are simply read for every request.
    impl_->cache.open(documents, &addDocumentHeaders);
    return 0;
}

int Server::load(const std::string& authFile) {
    return impl_->access.load(authFile) ? 0 : -1;
}

namespace {

// "http://*:PORT" or "http://A.B.C.D:PORT" into an IPv4 address and port.
bool parseEndpoint(const std::string& endpoint, sockaddr_in& addr) {
    std::string_view e(endpoint);
    constexpr std::string_view scheme = "http://";
    if (!e.starts_with(scheme)) return false;
    e.remove_prefix(scheme.size());
    std::size_t colon = e.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= e.size()) return false;
    std::string host(e.substr(0, colon));
    std::string_view port = e.substr(colon + 1);
    unsigned value = 0;
    auto [p, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || p != port.data() + port.size() || value > 65535) return false;
    addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(value));
    if (host == "*") {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1;
}

}  // namespace

int Server::listen(const std::string& endpoint) {
    Impl& s = *impl_;
    if (!s.docs.isOpen() || s.daemon) return -1;
    sockaddr_in addr {};
    if (!parseEndpoint(endpoint, addr)) return -1;

    fileio::Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return -1;
    int one = 1;
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(sock.get(), SOMAXCONN) != 0)
        return -1;
    {
        std::lock_guard<std::mutex> guard(s.postLock);
        s.wakeFd.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    }
    if (!s.wakeFd.valid()) return -1;
    const Limits& l = s.limits;
    s.daemon = MHD_start_daemon(
        MHD_USE_TURBO | MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, &Impl::onAccess,
        &s, MHD_OPTION_EXTERNAL_LOGGER, &mhdLog, nullptr, MHD_OPTION_LISTEN_SOCKET, sock.get(),
        MHD_OPTION_URI_LOG_CALLBACK, &Impl::onUri, &s, MHD_OPTION_NOTIFY_COMPLETED,
        &Impl::onCompleted, &s, MHD_OPTION_NOTIFY_CONNECTION, &Impl::onConnection, &s,
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(l.maxConnections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(l.maxConnectionsPerIp),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(l.idleTimeoutSeconds),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(l.connectionMemory),
        // SIGPIPE is ignored process-wide, which lets documents go out with
        // sendfile.
        MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1,
        MHD_OPTION_END);
    if (!s.daemon) {
        std::lock_guard<std::mutex> guard(s.postLock);
        s.wakeFd.reset();
        return -1;
    }
    s.listenFd = sock.release();  // the daemon closes it when it stops
    s.watcher.forgetAll();  // the daemon's descriptors are new
    s.listenerId = registerListener(s.listenFd, s.wakeFd.get());
    return s.listenerId;
}

void Server::defineAction(const std::string& name, Action action) {
    for (auto& [n, a] : impl_->actions) {
        if (n == name) {
            a = std::move(action);
            return;
        }
    }
    impl_->actions.emplace_back(name, std::move(action));
}

void Server::defineAction(const std::string& name, ActionHandler handler) {
    defineAction(name, Action{std::move(handler), {}});
}

void Server::post(std::function<void()> fn) {
    Impl& s = *impl_;
    std::lock_guard<std::mutex> guard(s.postLock);  // the wake descriptor may close meanwhile
    s.posted.push_back(std::move(fn));
    if (s.wakeFd.valid()) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(s.wakeFd.get(), &one, sizeof one);
    }
}

void Server::setIndex(const std::string& page) { impl_->index = page; }
void Server::setIpAddr(const std::string& ip) { impl_->ipAddr = ip; }
void Server::setHost(const std::string& host) { impl_->host = host; }

const std::string& Server::getServer() const {
    return impl_->host.empty() ? impl_->ipAddr : impl_->host;
}

const std::string& Server::getDocuments() const { return impl_->docs.path(); }

void Server::setLimits(const Limits& limits) { impl_->limits = limits; }

void Server::setSessionCheck(std::function<bool(std::string_view)> check) {
    impl_->sessionCheck = std::move(check);
}

void Server::serviceEvents(const std::atomic<int>& finished) {
    constexpr int kLongEventList = 8;
    Impl& s = *impl_;
    if (!s.watcher.open()) {
        ERROR_LINE("epoll_create1 failed: %s\n", std::strerror(errno));
        return;
    }
    // This thread's lines are written once per turn, before the wait.
    diag::batchLines(true);
    fd_set readable, writable, failed;
    while (finished.load() == 0) {
        // The wait is capped so that a flag set without a wake is still seen.
        int timeout = 1000;
        s.watcher.clearWanted();
        if (s.daemon) {
            MHD_UNSIGNED_LONG_LONG t = 0;
            if (MHD_get_timeout(s.daemon, &t) == MHD_YES)
                timeout = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(t, 1000));
            FD_ZERO(&readable);
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            MHD_socket last = -1;
            if (MHD_get_fdset2(s.daemon, &readable, &writable, &failed, &last, FD_SETSIZE) == MHD_YES) {
                for (int fd = 0; fd <= last; ++fd) {
                    if (FD_ISSET(fd, &readable)) s.watcher.want(fd, EPOLLIN);
                    if (FD_ISSET(fd, &writable)) s.watcher.want(fd, EPOLLOUT);
                }
            }
        }
        s.watcher.want(s.wakeFd.get(), EPOLLIN);
        // A document changed before a request was sent is reported no later
        // than the request (epoll reports in the order things became
        // ready), and its entry is dropped before the request is read.
        // Only a change that lands while the kernel collects a long list of
        // ready sockets can miss the list that holds the request: after a
        // long list the pending changes are read anyway.
        if (s.cache.watchFd() != s.watchedCacheFd) {
            s.watchedCacheFd = s.cache.watchFd();
            s.watcher.forget(s.watchedCacheFd);
        }
        s.watcher.want(s.watchedCacheFd, EPOLLIN);
        s.watcher.apply();
        diag::flush();
        int n = s.watcher.wait(timeout);
        if (n < 0 && errno != EINTR) {
            ERROR_LINE("epoll_wait failed: %s\n", std::strerror(errno));
            break;
        }
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        bool woken = false, changed = false, listenerGone = false;
        for (int i = 0; i < n; ++i) {
            const int fd = s.watcher.event(i).data.fd;
            const std::uint32_t events = s.watcher.event(i).events;
            if (fd == s.wakeFd.get()) {
                woken = true;
            } else if (fd == s.watchedCacheFd) {
                changed = true;
            } else {
                // Once the listening socket is shut down nothing more can be
                // accepted: the loop ends even if the flag was not set.
                const bool broken = events & (EPOLLHUP | EPOLLERR);
                if (fd == s.listenFd && broken) listenerGone = true;
                if (s.watcher.wanted(fd, EPOLLIN) && (broken || (events & EPOLLIN))) FD_SET(fd, &readable);
                if (s.watcher.wanted(fd, EPOLLOUT) && (broken || (events & EPOLLOUT))) FD_SET(fd, &writable);
            }
        }
        if (woken) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t got = ::read(s.wakeFd.get(), &count, sizeof count);
        }
        if (finished.load() != 0) break;
        if (changed || n >= kLongEventList) s.cache.readEvents();
        s.runPosted();
        if (!s.daemon) continue;
        if (listenerGone) {
            DEBUG_LINE("listener %d was shut down\n", s.listenerId);
            break;
        }
        MHD_run_from_select(s.daemon, &readable, &writable, &failed);
        s.sweepSlowClients();
    }
    diag::batchLines(false);
    s.watcher.close();
}

void Server::close() {
    Impl& s = *impl_;
    s.stopListening();
    {
        std::lock_guard<std::mutex> guard(s.postLock);
        s.posted.clear();
    }
    s.releaseCanned();
    s.cache.clear();
    s.spare.clear();
    s.docs.close();
    s.routes.clear();
    s.access.clear();
    s.actions.clear();
}

int socketGetHandle(int listenerId) {
    std::lock_guard<std::mutex> guard(registryLock);
    for (const ListenerEntry& e : registry) {
        if (e.id == listenerId) return e.socket;
    }
    return -1;
}

void wakeListener(int listenerId) {
    std::lock_guard<std::mutex> guard(registryLock);
    for (const ListenerEntry& e : registry) {
        if (e.id == listenerId) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(e.wake, &one, sizeof one);
        }
    }
}

}  // namespace web
