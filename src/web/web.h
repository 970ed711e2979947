// Our thin HTTP layer on libmicrohttpd: route file, authentication file,
// static documents, action handlers, bodies and multipart uploads, one
// event loop on the calling thread. No other code includes microhttpd.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace web {

// The file part of a multipart/form-data upload, streamed to a temporary file.
struct UploadedFile {
    std::string tempPath;
    std::string contentType;  // as declared by the client
    std::uint64_t size = 0;
};

class Request {
public:
    virtual ~Request() = default;
    // The request URL as received: path and query, not percent-decoded.
    virtual const std::string& url() const = 0;
    virtual const std::string& method() const = 0;
    // Body bytes when held in memory (bodies up to Limits::memoryBody);
    // empty when spooled.
    virtual std::string_view body() const = 0;
    // Total body length in bytes (in memory or spooled).
    virtual std::uint64_t bodyLength() const = 0;
    // Path of the temporary file holding a larger body; empty otherwise.
    // The file is removed when the request ends unless moved away.
    virtual const std::string& bodyFile() const = 0;
    virtual const std::string& clientAddress() const = 0;
    // The uploaded file of a multipart request, or null.
    virtual const UploadedFile* upload() const = 0;
    // Writes the one complete response; later calls are ignored.
    virtual void respond(int status, std::string_view contentType, std::string_view body) = 0;
    virtual bool responded() const = 0;

    // True while an action's onHead runs (or stays suspended): the head has
    // arrived, the body has not been read.
    virtual bool headOnly() const = 0;
    // Body length from Content-Length (0 if none, UINT64_MAX when chunked).
    virtual std::uint64_t declaredLength() const = 0;
    // A request header by name (any letter case), or null.
    virtual const char* header(const char* name) const = 0;

    // Suspends the request: the handler returns at once and the server
    // thread serves other connections meanwhile. The returned Resume is
    // called exactly once, from any thread, after respond() (respond() may be
    // called from that thread while suspended; the answer is queued on the
    // server thread after the resume). Called in onHead without an answer,
    // Resume means "read the body and run onRequest". When the server stops
    // first, the request is dropped (its temporary files removed) and a later
    // respond() or Resume does nothing.
    using Resume = std::function<void()>;
    virtual Resume suspend() = 0;
};

using ActionHandler = std::function<void(Request&)>;

// One action. onRequest runs when the whole body has arrived. onHead, when
// set, runs as soon as the head has arrived for a request announcing a body
// over Limits::gatedBody (or a chunked one): if it responds, the body is
// neither read nor stored and the connection closes after the answer; if it
// returns without responding or suspending, the body is read and onRequest
// runs as usual.
struct Action {
    std::function<void(Request&)> onRequest;
    std::function<void(Request&)> onHead;
};

struct Limits {
    unsigned maxConnections = 64;
    unsigned idleTimeoutSeconds = 30;
    std::size_t connectionMemory = 32 * 1024;
    std::uint64_t maxBody = 512ull * 1024 * 1024;   // larger bodies: HTTP 413
    std::size_t memoryBody = 1024 * 1024;          // larger bodies are spooled
    unsigned maxConnectionsPerIp = 32;
    // Bodies over this size (and chunked ones) pass the action's onHead
    // before a byte of them is read.
    std::size_t gatedBody = 16 * 1024;
    // Slow clients: a request head must be complete this long after the
    // connection started or the previous answer went out, and a body must
    // average minBodyRate bytes/s once it has taken this long; others are
    // closed.
    unsigned headTimeoutSeconds = 15;
    std::size_t minBodyRate = 1024;
    // Where spooled bodies and uploaded files are written while a request
    // lasts.
    std::string tempDirectory = "/tmp";
};

class Server {
public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Document root and route file; negative on failure.
    int open(const std::string& documents, const std::string& routeFile);
    // Authentication file; negative on failure (missing or unreadable).
    int load(const std::string& authFile);
    // "http://*:PORT" or "http://127.0.0.1:PORT"; listener id >= 0 or negative.
    int listen(const std::string& endpoint);
    void defineAction(const std::string& name, Action action);
    // An action with no onHead.
    void defineAction(const std::string& name, ActionHandler handler);
    void setIndex(const std::string& page);
    void setIpAddr(const std::string& ip);
    void setHost(const std::string& host);
    const std::string& getServer() const;
    const std::string& getDocuments() const;
    void setLimits(const Limits& limits);
    // Tells whether a session id (the `sessionid` query value) is live,
    // without refreshing it; asked for documents under a `session` rule of
    // the authentication file. Without a check those documents are refused.
    void setSessionCheck(std::function<bool(std::string_view)> check);
    // Serves on this thread until `finished` becomes non-zero; the loop wakes
    // at once when the listener is shut down (see socketGetHandle), and a
    // shut-down listener ends it even without the flag.
    void serviceEvents(const std::atomic<int>& finished);
    // Runs `fn` on the server thread at the next turn of serviceEvents;
    // callable from any thread (wakes the loop). Dropped if the server closes
    // first.
    void post(std::function<void()> fn);
    // Releases everything opened.
    void close();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The operating-system socket of a listener id, -1 if unknown. Shutting it
// down (shutdown(fd, SHUT_RDWR)) from any thread wakes serviceEvents.
int socketGetHandle(int listenerId);

// Wakes the serviceEvents loop of a listener from any thread, so that it
// looks at its `finished` flag at once. Not needed after the shutdown above
// (the kernel wakes the loop for that); for stops that keep the socket.
void wakeListener(int listenerId);

}  // namespace web
