/* Reference server for the benchmarks: libmicrohttpd with nothing of ours,
 * in C so that no C++ runtime is mapped (the memory reference).
 *
 *   bare_mhd PORT DIR FILE JSONPATH
 *
 * Listens on 127.0.0.1:PORT with one internal epoll thread. GET /FILE is
 * answered with DIR/FILE (opened per request and sent from the descriptor,
 * as a static server does); GET JSONPATH is answered with the fixed JSON text
 * of a bare success answer from memory; anything else gets 404. Answers are
 * queued on the second call of the access handler so that connections stay
 * alive. Runs until SIGINT or SIGTERM. */
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

struct config {
    char file_path[512]; /* "/" FILE */
    char full_path[1024]; /* DIR "/" FILE */
    const char* json_path;
    const char* content_type;
};

static const char json_text[] = "{\n\t\"Result\":\t\"OK\"\n}";
static const char not_found[] = "Not Found\n";

static enum MHD_Result answer(void* cls, struct MHD_Connection* conn, const char* url,
                              const char* method, const char* version, const char* data,
                              size_t* upload_size, void** state) {
    static int started;
    const struct config* cfg = cls;
    struct MHD_Response* r = NULL;
    unsigned status = MHD_HTTP_OK;
    (void)version;
    (void)data;
    if (*state == NULL) {
        *state = &started; /* first call: answer on the next one */
        return MHD_YES;
    }
    if (*upload_size != 0) {
        *upload_size = 0; /* bodies are not used */
        return MHD_YES;
    }
    int get_or_head = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
    if (get_or_head && strcmp(cfg->file_path, url) == 0) {
        int fd = open(cfg->full_path, O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0) {
            r = MHD_create_response_from_fd64((uint64_t)st.st_size, fd);
            if (r) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, cfg->content_type);
        }
        if (!r && fd >= 0) close(fd);
    } else if (strcmp(cfg->json_path, url) == 0) {
        r = MHD_create_response_from_buffer(sizeof json_text - 1, (void*)json_text,
                                            MHD_RESPMEM_PERSISTENT);
        if (r) MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
    }
    if (!r) {
        status = MHD_HTTP_NOT_FOUND;
        r = MHD_create_response_from_buffer(sizeof not_found - 1, (void*)not_found,
                                            MHD_RESPMEM_PERSISTENT);
        if (!r) return MHD_NO;
    }
    enum MHD_Result ok = MHD_queue_response(conn, status, r);
    MHD_destroy_response(r);
    return ok;
}

static void quiet(void* cls, const char* fmt, va_list ap) {
    (void)cls;
    (void)fmt;
    (void)ap;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s PORT DIR FILE JSONPATH\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[1]);
    if (port <= 0 || port > 65535) {
        fprintf(stderr, "bad port %s\n", argv[1]);
        return 2;
    }
    static struct config cfg;
    snprintf(cfg.file_path, sizeof cfg.file_path, "/%s", argv[3]);
    snprintf(cfg.full_path, sizeof cfg.full_path, "%s/%s", argv[2], argv[3]);
    cfg.json_path = argv[4];
    size_t n = strlen(cfg.file_path);
    cfg.content_type = n >= 5 && strcmp(cfg.file_path + n - 5, ".html") == 0
                           ? "text/html" : "application/octet-stream";

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, NULL); /* the daemon thread inherits the mask */

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct MHD_Daemon* d = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_TURBO | MHD_USE_ERROR_LOG, (uint16_t)port, NULL,
        NULL, &answer, &cfg, MHD_OPTION_EXTERNAL_LOGGER, &quiet, NULL, MHD_OPTION_SOCK_ADDR,
        (struct sockaddr*)&addr, MHD_OPTION_END);
    if (!d) {
        fprintf(stderr, "cannot listen on port %d\n", port);
        return 1;
    }
    int sig = 0;
    sigwait(&stop, &sig);
    MHD_stop_daemon(d);
    return 0;
}
