// Shared pieces of the web layer tests: a temporary directory, a server run
// on its own thread, and a small raw-socket HTTP/1.1 client.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "web/web.h"

namespace webtest {

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/web-test-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

inline void writeFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline std::size_t countEntries(const std::string& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

inline constexpr const char* kRoutes =
    "# test routes\n"
    "action /action/device/ device\n"
    "static /\n";

// A document root with route and auth files in `dir`/web_root.
inline void makeSite(const TempDir& dir) {
    writeFile(dir / "web_root/config/route.txt", kRoutes);
    writeFile(dir / "web_root/config/auth.txt", "# nothing denied but the configuration\ndeny /config/\n");
    writeFile(dir / "web_root/login.html", "<html>login</html>\n");
}

// A server on 127.0.0.1 with its event loop on a thread of its own.
class RunningServer {
public:
    explicit RunningServer(const TempDir& dir, web::Limits limits = {}) : dir_(dir) {
        limits.tempDirectory = dir / "spool";
        std::filesystem::create_directories(limits.tempDirectory);
        server_.setLimits(limits);
        ok_ = server_.open(dir / "web_root", dir / "web_root/config/route.txt") >= 0 &&
              server_.load(dir / "web_root/config/auth.txt") >= 0;
        if (!ok_) return;
        server_.setIndex("login.html");
        server_.defineAction("device", [this](web::Request& r) {
            if (handler_) handler_(r);
        });
        // A port of our own in 20000..29999, taken from the pid to keep
        // parallel test programs apart.
        static int next = 0;
        for (int attempt = 0; attempt < 200 && id_ < 0; ++attempt) {
            port_ = 20000 + static_cast<int>((getpid() * 37 + next++ * 101) % 10000);
            id_ = server_.listen("http://127.0.0.1:" + std::to_string(port_));
        }
        ok_ = id_ >= 0;
        if (ok_) thread_ = std::thread([this] { server_.serviceEvents(finished_); });
    }
    ~RunningServer() { stop(); }

    bool ok() const { return ok_; }
    int port() const { return port_; }
    int listenerId() const { return id_; }
    web::Server& server() { return server_; }
    void onAction(web::ActionHandler h) { handler_ = std::move(h); }

    // Stops as the server thread's owner does: flag, then shut the listener.
    // Returns how long the loop took to end.
    std::chrono::milliseconds stop() {
        auto start = std::chrono::steady_clock::now();
        if (thread_.joinable()) {
            finished_ = 1;
            int fd = web::socketGetHandle(id_);
            if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
            thread_.join();
        }
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        server_.close();
        return took;
    }

private:
    const TempDir& dir_;
    web::Server server_;
    web::ActionHandler handler_;
    std::atomic<int> finished_{0};
    std::thread thread_;
    int port_ = 0;
    int id_ = -1;
    bool ok_ = false;
};

struct Response {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

class Client {
public:
    explicit Client(int port, int timeoutMs = 5000) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setTimeout(timeoutMs);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }

    void setTimeout(int ms) {
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }

    bool send(const std::string& data) {
        std::size_t off = 0;
        while (off < data.size()) {
            ssize_t n = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads one response; nullopt on time-out or a connection closed early.
    std::optional<Response> read(bool head = false) {
        std::size_t end;
        while ((end = buf_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) return std::nullopt;
        }
        Response r;
        std::istringstream lines(buf_.substr(0, end));
        std::string line;
        std::getline(lines, line);
        if (line.size() < 12 || line.compare(0, 5, "HTTP/") != 0) return std::nullopt;
        r.status = std::atoi(line.c_str() + 9);
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            auto colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            std::string value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') value.erase(0, 1);
            r.headers[name] = value;
        }
        buf_.erase(0, end + 4);
        if (head || r.status == 304 || r.status == 204) return r;
        if (r.headers.count("content-length")) {
            std::size_t len = std::strtoull(r.header("content-length").c_str(), nullptr, 10);
            while (buf_.size() < len) {
                if (!fill()) return std::nullopt;
            }
            r.body = buf_.substr(0, len);
            buf_.erase(0, len);
        } else if (r.header("transfer-encoding") == "chunked") {
            for (;;) {
                std::size_t eol;
                while ((eol = buf_.find("\r\n")) == std::string::npos) {
                    if (!fill()) return std::nullopt;
                }
                std::size_t len = std::strtoull(buf_.c_str(), nullptr, 16);
                while (buf_.size() < eol + 2 + len + 2) {
                    if (!fill()) return std::nullopt;
                }
                r.body += buf_.substr(eol + 2, len);
                buf_.erase(0, eol + 2 + len + 2);
                if (len == 0) break;
            }
        } else {
            while (fill()) {
            }
            r.body = buf_;
            buf_.clear();
        }
        return r;
    }

    // True when the server closed the connection (read returns 0).
    bool closedByPeer() {
        char c;
        ssize_t n = ::recv(fd_, &c, 1, 0);
        return n == 0;
    }

private:
    bool fill() {
        char tmp[65536];
        ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n <= 0) return false;
        buf_.append(tmp, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    std::string buf_;
};

// One request on a fresh connection.
inline std::optional<Response> fetch(int port, const std::string& request, bool head = false) {
    Client c(port);
    if (!c.connected() || !c.send(request)) return std::nullopt;
    return c.read(head);
}

inline std::string get(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: t\r\n" + extra + "\r\n";
}

}  // namespace webtest
