// Process start-up, the web parameters record and the server thread's
// start and stop.
#pragma once

#include <atomic>

struct WebParams {
    int http_port = 80;
    int https_port = 443;
    char interfaces_name[8] = "eth0";
};

extern std::atomic<int> HTTP_WEB_PORT;
extern std::atomic<int> web_service_finished;
extern std::atomic<int> web_listen_id;
// How the last started server thread's listener came out: 0 not yet known,
// 1 listening, -1 it could not listen, -2 the thread ended before listening.
extern std::atomic<int> web_listen_state;

int web_service_start(WebParams* params);

// The server thread serves its first request only once the main thread has
// opened the log channel (or after a second at most), so that no command of
// the first moments goes unreported.
void waitForLogChannel();
int web_service_stop();
void print_usage();

// The whole program: command line, start-up and the supervision loop.
// Returns the exit status for the usage and start-up failure cases.
int webserver_main(int argc, char** argv);

// Asks the supervision loop to stop (SIGTERM/SIGINT), so the process ends
// cleanly; the device itself never asks.
void request_shutdown();

// Lets the port commands read and change HTTP_WEB_PORT.
void installPortControl();
