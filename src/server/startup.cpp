#include "server/startup.h"

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "actions/webport.h"
#include "common/diag.h"
#include "common/stop.h"
#include "dispatch/commands.h"
#include "ipc/logchannel.h"
#include "ipc/protocol_table.h"
#include "server/server_thread.h"
#include "web/web.h"

std::atomic<int> HTTP_WEB_PORT{80};
std::atomic<int> web_service_finished{1};
std::atomic<int> web_listen_id{-1};
std::atomic<int> web_listen_state{0};

namespace {

pthread_t web_service_thread_id;

// Set from the SIGTERM/SIGINT handler; lock-free, so safe there.
std::atomic<bool> shutdown_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Set by the main thread once the log channel has been opened.
std::atomic<bool> log_channel_ready{false};

void onTerminate(int) {
    request_shutdown();
}

// Sleeps about `seconds`, waking early when the process is asked to end.
void sleepUnlessShutdown(int seconds) {
    for (int i = 0; i < seconds * 20 && !shutdown_requested.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void installSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);

    struct sigaction term {};
    term.sa_handler = onTerminate;
    sigemptyset(&term.sa_mask);
    ::sigaction(SIGTERM, &term, nullptr);
    ::sigaction(SIGINT, &term, nullptr);
}

// Waits up to 3 s for the server thread to report its listener. False only
// when it could not listen (the port); a thread still busy before listening,
// or ended for another reason, counts as up: another port would not help.
bool listenerCameUp() {
    for (int i = 0; i < 60 && !shutdown_requested.load(); ++i) {
        const int state = web_listen_state.load();
        if (state != 0) return state != -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Starts the server on params.http_port. When it cannot listen there, it is
// started on `fallback` instead (stored as the configured port when `store`),
// so that the device never stays without a web server because of a port
// another program holds.
void startWithFallback(WebParams& params, int fallback, bool store) {
    HTTP_WEB_PORT = params.http_port;
    const bool started = web_service_start(&params) == 0;
    if (params.http_port == fallback || (started && listenerCameUp())) return;
    ERROR_LINE_AS("main", "cannot listen on port %d, serving on port %d again\n", params.http_port,
                  fallback);
    web_service_stop();
    params.http_port = fallback;
    HTTP_WEB_PORT = fallback;
    if (store) storeWebPort(fallback);
    web_service_start(&params);
}

}  // namespace

void waitForLogChannel() {
    for (int i = 0; i < 1000 && !log_channel_ready.load() && web_service_finished.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void request_shutdown() {
    shutdown_requested.store(true);
}

void installPortControl() {
    // The port command stores the new port; the supervision loop moves the
    // listener to it.
    dispatch::setPortControl({[] { return HTTP_WEB_PORT.load(); },
                                [](int port) { HTTP_WEB_PORT.store(port); }});
}

void print_usage() {
    diag::out("---------------------------------------------\n");
    diag::out("./webserver \t\t\t:  using function  ==> eth0   80 \n");
    diag::out("./webserver 88\t\t\t:  using function  ==> eth0   88 (Custom port) \n");
    diag::out("./webserver 88\tlo\t\t:  using function  ==> lo\t  88  127.0.0.1  88(Custom port) \n");
    diag::out("---------------------------------------------\n");
}

int web_service_start(WebParams* params) {
    if (params == nullptr) return -2;
    if (static_cast<unsigned>(params->http_port) >= 65536u ||
        static_cast<unsigned>(params->https_port) >= 65536u)
        return -2;
    if (web_service_finished.load() == 0) return -14;
    web_service_finished = 0;
    web_listen_state = 0;
    stop::clear();
    if (pthread_create(&web_service_thread_id, nullptr, web_service_thread, params) != 0) {
        web_service_finished = 1;
        return -6;
    }
    return 0;
}

int web_service_stop() {
    if (web_service_finished.load() != 0) return 0;
    web_service_finished = 1;
    // A command waiting on an application or a pause ends at once.
    stop::raise();
    // Waking the loop is enough: it sees the flag and returns. (The listener
    // is the server thread's to close; its descriptor number may be reused.)
    int id = web_listen_id.exchange(-1);
    if (id != -1) web::wakeListener(id);
    pthread_join(web_service_thread_id, nullptr);
    // A thread told to stop before it listened may have set an id since.
    web_listen_id = -1;
    return 0;
}

int webserver_main(int argc, char** argv) {
    ::prctl(PR_SET_NAME, "webserver", 0, 0, 0);
    installSignals();

    WebParams web_params;
    if (argc == 2 && argv[1][0] == 'h') {
        print_usage();
        return 0;
    }
    if (argc >= 2) {
        web_params.http_port = static_cast<int>(std::strtol(argv[1], nullptr, 10));
        diag::out("http_port %d\r\n", web_params.http_port);
    }
    if (argc >= 3) {
        std::snprintf(web_params.interfaces_name, sizeof web_params.interfaces_name, "%s", argv[2]);
        diag::out("interfaces_name %s\r\n", web_params.interfaces_name);
    }
    if (argc > 3) {
        print_usage();
        return 0;
    }

    if (http_read_config_command() != 0) {
        ERROR_LINE_AS("main", "http read comfig fail\n");
        return 0;
    }

    const int command_line_port = web_params.http_port;
    int port = -1;
    {
        JsonReply unused;
        actionGetPortParam(nullptr, unused, &port);
    }
    if (port != -1) {
        web_params.http_port = port;
        diag::out("web init port %d \n", port);
    }
    installPortControl();
    startWithFallback(web_params, command_line_port, false);

    log_msg_socket = create_log_msg_socket();
    if (log_msg_socket == -1)
        ERROR_LINE_AS("main", "[webserver]create_log_msg_socket() fail!\n");
    wait_log_connection(log_msg_socket, 100);
    log_channel_ready = true;

    while (!shutdown_requested.load()) {
        int wanted = HTTP_WEB_PORT.load();
        diag::out("HTTP_WEB_PORT=%d web_params.http_port=%d\r\n", wanted, web_params.http_port);
        if (web_params.http_port != wanted) {
            const int previous = web_params.http_port;
            web_service_stop();
            sleepUnlessShutdown(1);
            if (shutdown_requested.load()) break;
            web_params.http_port = HTTP_WEB_PORT.load();
            startWithFallback(web_params, previous, true);
        }
        sleepUnlessShutdown(3);
    }

    web_service_stop();
    closeLogMsgSocket();
    return 0;
}
