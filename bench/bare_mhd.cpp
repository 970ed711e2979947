// Reference server for the benchmarks: libmicrohttpd with nothing of ours.
//
//   bare_mhd PORT DIR FILE JSONPATH
//
// Listens on 127.0.0.1:PORT with one internal epoll thread. GET /FILE is
// answered with DIR/FILE (opened per request and sent from the descriptor,
// as a static server does); GET JSONPATH is answered with the fixed JSON text
// of a bare success answer; anything else gets 404. Answers are queued on the
// second call of the access handler so that connections stay alive. Runs
// until SIGINT or SIGTERM.
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Config {
    std::string filePath;  // "/" + FILE
    std::string fullPath;  // DIR + "/" + FILE
    std::string jsonPath;
    const char* contentType = "text/html";
};

const char kJson[] = "{\n\t\"Result\":\t\"OK\"\n}";
const char kNotFound[] = "Not Found\n";

MHD_Result answer(void* cls, MHD_Connection* conn, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void** state) {
    static int started;
    if (*state == nullptr) {
        *state = &started;  // first call: answer on the next one
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        *uploadSize = 0;  // bodies are not used
        return MHD_YES;
    }
    const Config& cfg = *static_cast<const Config*>(cls);
    MHD_Response* r = nullptr;
    unsigned status = MHD_HTTP_OK;
    bool getOrHead = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
    if (getOrHead && cfg.filePath == url) {
        int fd = ::open(cfg.fullPath.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0) {
            r = MHD_create_response_from_fd64(static_cast<uint64_t>(st.st_size), fd);
            if (r) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, cfg.contentType);
        }
        if (!r && fd >= 0) ::close(fd);
    } else if (cfg.jsonPath == url) {
        r = MHD_create_response_from_buffer(sizeof kJson - 1, const_cast<char*>(kJson),
                                            MHD_RESPMEM_PERSISTENT);
        if (r) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
    }
    if (!r) {
        status = MHD_HTTP_NOT_FOUND;
        r = MHD_create_response_from_buffer(sizeof kNotFound - 1, const_cast<char*>(kNotFound),
                                            MHD_RESPMEM_PERSISTENT);
        if (!r) return MHD_NO;
    }
    MHD_Result ok = MHD_queue_response(conn, status, r);
    MHD_destroy_response(r);
    return ok;
}

void quiet(void*, const char*, va_list) {}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s PORT DIR FILE JSONPATH\n", argv[0]);
        return 2;
    }
    int port = std::atoi(argv[1]);
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "bad port %s\n", argv[1]);
        return 2;
    }
    Config cfg;
    cfg.filePath = std::string("/") + argv[3];
    cfg.fullPath = std::string(argv[2]) + "/" + argv[3];
    cfg.jsonPath = argv[4];
    if (cfg.filePath.size() < 5 || cfg.filePath.compare(cfg.filePath.size() - 5, 5, ".html") != 0)
        cfg.contentType = "application/octet-stream";

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // the daemon thread inherits the mask

    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    MHD_Daemon* d = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_TURBO | MHD_USE_ERROR_LOG, static_cast<uint16_t>(port),
        nullptr, nullptr, &answer, &cfg, MHD_OPTION_EXTERNAL_LOGGER, &quiet, nullptr,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr), MHD_OPTION_END);
    if (!d) {
        std::fprintf(stderr, "cannot listen on port %d\n", port);
        return 1;
    }
    int sig = 0;
    sigwait(&stop, &sig);
    MHD_stop_daemon(d);
    return 0;
}
