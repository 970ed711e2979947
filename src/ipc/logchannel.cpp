#include "ipc/logchannel.h"

#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "common/diag.h"
#include "common/paths.h"
#include "ipc/nn_handles.h"

std::atomic<int> log_msg_socket{-1};

int create_log_msg_socket() {
    nn::Socket sock(nn_socket(AF_SP, NN_PUSH));
    if (!sock) {
        ERROR_LINE("[%s]nn_socket(AF_SP, NN_PUSH) fail: %s\n", "webserver",
                   nn_strerror(nn_errno()));
        return -1;
    }
    if (nn_connect(sock.get(), paths::kLogAddress) < 0) {
        ERROR_LINE("[%s]nn_connect(%s) fail: %s\n", "webserver", paths::kLogAddress,
                   nn_strerror(nn_errno()));
        return -1;
    }
    return sock.release();
}

void wait_log_connection(int socket, int timeout_ms) {
    if (socket < 0) return;
    for (int waited = 0; waited < timeout_ms; ++waited) {
        if (nn_get_statistic(socket, NN_STAT_CURRENT_CONNECTIONS) > 0) return;
        // No service at the address: connecting fails at once, nothing to wait for.
        if (nn_get_statistic(socket, NN_STAT_CONNECT_ERRORS) > 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int get_log_json(const char* level, const char* content, bool flush, bool formatted,
                 JsonReply* text_out) {
    if (!text_out) return -2;
    text_out->reset();
    if (!level || !content) return -2;

    // Written directly in cJSON's layout (the record's shape is fixed).
    std::string text;
    text.reserve(128 + std::strlen(content));
    json::ObjectWriter record(text, formatted);
    record.string("Level", level)
        .string("Module", "webserver")
        .number("Timestamp", static_cast<double>(std::time(nullptr)))
        .boolean("Flush", flush)
        .string("Content", content)
        .close();
    *text_out = std::move(text);
    return *text_out ? 0 : -15;
}

void send_log_msg(const char* client_address, const char* text) {
    char content[128];
    std::snprintf(content, sizeof content, "client[%s] %s", client_address ? client_address : "",
                  text ? text : "");

    JsonReply record;
    get_log_json("INFO", content, false, true, &record);
    if (!record) return;

    // Never wait for the log service: without one listening the record is
    // dropped at once and the request goes on.
    const std::size_t length = record->size() + 1;
    int sent = nn_send(log_msg_socket.load(), record->c_str(), length, NN_DONTWAIT);
    if (sent < 0 || static_cast<std::size_t>(sent) != length)
        ERROR_LINE("[%s]nn_send log fail: %s\n", "webserver", nn_strerror(nn_errno()));
}

void closeLogMsgSocket() {
    int sock = log_msg_socket.exchange(-1);
    if (sock >= 0) nn_close(sock);
}
