// Shared pieces of the web layer tests: a temporary site, a server on its own
// thread, and a small raw-socket HTTP/1.1 client.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "storage_testdir.h"
#include "web/web.h"

namespace webtest {
namespace fs = std::filesystem;

inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
inline long countEntries(const std::string& dir) {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

// A temporary folder with a document root, its route and auth files.
struct Site : TestDir {
    Site() {
        file("web_root/config/route.txt", "action /action/device/ device\naction /action/other/ other\nstatic /\n");
        file("web_root/config/auth.txt", "deny /config/\n");
        file("web_root/login.html", "<html>login</html>\n");
    }
};

// A server on an ephemeral port of 127.0.0.1, its event loop on a thread.
class RunningServer {
public:
    // Throws when the server cannot be set up, which fails the test.
    explicit RunningServer(const Site& site, web::ActionHandler device = {}, web::Limits limits = {}) {
        limits.tempDirectory = site / "spool";
        fs::create_directories(limits.tempDirectory);
        server_.setLimits(limits);
        bool opened = server_.open(site / "web_root", site / "web_root/config/route.txt") == 0 &&
                      server_.load(site / "web_root/config/auth.txt") == 0;
        server_.setIndex("login.html");
        if (device) server_.defineAction("device", std::move(device));
        if (!opened || (id_ = server_.listen("http://127.0.0.1:0")) < 0) throw std::runtime_error("no test server");
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(web::socketGetHandle(id_), reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { server_.serviceEvents(finished_); });
    }
    ~RunningServer() { stop(); }
    int port() const { return port_; }

    // Stops as the server thread's owner does: the flag, the listener shut down (unless `wakeOnly`), the loop woken.
    void stop(bool wakeOnly = false) {
        if (thread_.joinable()) {
            finished_ = 1;
            if (!wakeOnly) ::shutdown(web::socketGetHandle(id_), SHUT_RDWR);
            web::wakeListener(id_);
            thread_.join();
        }
        server_.close();
    }

private:
    web::Server server_;
    std::atomic<int> finished_{0};
    std::thread thread_;
    int id_ = -1, port_ = 0;
};

struct Response {
    int status = 0;
    std::string head, body;  // head: the status line and the header lines
    std::string header(const std::string& name) const {  // "" when absent
        const char* p = strcasestr(head.c_str(), ("\n" + name + ": ").c_str());
        return p ? std::string(p + name.size() + 3, std::strcspn(p + name.size() + 3, "\r")) : "";
    }
};

class Client {
public:
    explicit Client(int port, int timeoutMs = 5000) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~Client() { ::close(fd_); }
    bool send(const std::string& data) {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }
    // One response; status 0 on time-out or a connection closed early.
    Response read(bool head = false) {
        std::size_t end, len = 0;
        while ((end = buf_.find("\r\n\r\n")) == std::string::npos) if (!fill()) return {};
        if (end < 12 || buf_.compare(0, 5, "HTTP/") != 0) return {};
        Response r{std::atoi(buf_.c_str() + 9), buf_.substr(0, end + 2), ""};
        buf_.erase(0, end + 4);
        if (!head && r.status != 304) len = std::strtoull(r.header("Content-Length").c_str(), nullptr, 10);
        while (buf_.size() < len) if (!fill()) return {};
        r.body = buf_.substr(0, len);
        buf_.erase(0, len);
        return r;
    }
    Response ask(const std::string& request) { return send(request) ? read(request.starts_with("HEAD")) : Response{}; }
    bool closedByPeer() { char c; return ::recv(fd_, &c, 1, 0) == 0; }

private:
    bool fill() {
        char tmp[65536];
        const ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        return n > 0 && (buf_.append(tmp, static_cast<std::size_t>(n)), true);
    }
    int fd_;
    std::string buf_;
};

// One request on a fresh connection.
inline Response fetch(int port, const std::string& request) { return Client(port).ask(request); }

inline std::string get(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: t\r\n" + extra + "\r\n";
}
inline std::string post(const std::string& target, const std::string& body, const std::string& extra = "") {
    return "POST " + target + " HTTP/1.1\r\nHost: t\r\n" + extra + "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace webtest
