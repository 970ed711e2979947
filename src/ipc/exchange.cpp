#include "ipc/exchange.h"

#include <nanomsg/nn.h>
#include <nanomsg/pair.h>
#include <nanomsg/reqrep.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "common/diag.h"
#include "common/stop.h"
#include "ipc/nn_handles.h"
#include "ipc/protocol_table.h"

namespace {

constexpr const char* kTimedOut = "Connection service timed out";
constexpr const char* kBadFormat = "The server returned an incorrect format parameter";
constexpr const char* kRequestFailed = "Failed to request server";

constexpr int kSendTimeoutMs = 100;
constexpr int kDefaultTimeoutMs = 3000;
constexpr int kWifiTimeoutMs = 5000;
constexpr int kLongTimeoutMs = 180000;
// A REQ socket re-sends an unanswered request after this interval; every
// exchange gives up long before, so an application never sees a command twice.
constexpr int kNoResendMs = kLongTimeoutMs + 60000;

// The socket open to the "app_update" group during its exchange, or -1.
int http_msg_upgrade_fd = -1;

void describe(char* description, const char* text) {
    if (description) std::snprintf(description, 128, "%s", text);
}

// Receives one message within `timeout_ms`, waking at once when the server
// is told to stop. The byte count, or -1 with the reason in `error`
// (ETIMEDOUT, ECANCELED for a stop, or nanomsg's error).
int receiveWithin(int socket, void** buf, int timeout_ms, int& error) {
    int readable = -1;
    std::size_t size = sizeof readable;
    if (nn_getsockopt(socket, NN_SOL_SOCKET, NN_RCVFD, &readable, &size) < 0) {
        error = nn_errno();
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int got = nn_recv(socket, buf, NN_MSG, NN_DONTWAIT);
        if (got >= 0) return got;
        error = nn_errno();
        if (error != EAGAIN && error != EINTR) return -1;
        if (stop::raised()) {
            error = ECANCELED;
            return -1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = ETIMEDOUT;
            return -1;
        }
        pollfd fds[2] = {{readable, POLLIN, 0}, {stop::pollFd(), POLLIN, 0}};
        ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count() + 1, 1000)));
    }
}

}  // namespace

int receiveTimeoutMs(const char* command, bool on_upgrade_socket) {
    if (!command) return kDefaultTimeoutMs;
    if (on_upgrade_socket && std::strcmp(command, "StartUpgrade") == 0) return kLongTimeoutMs;
    if (std::strcmp(command, "GetScanWIFIHotspot") == 0) return kLongTimeoutMs;
    if (std::strcmp(command, "SetNetworkWIFIParameters") == 0 ||
        std::strcmp(command, "GetNetworkWIFIParameters") == 0)
        return kWifiTimeoutMs;
    return kDefaultTimeoutMs;
}

int http_msg_socket_init(int group) {
    if (group < 0 || group >= kProtocolGroups) return -1;
    ProtocolGroup& g = protocol_table[group];
    g.set_socket(-1);
    const bool upgrade = std::strcmp(g.receiver, "app_update") == 0;

    nn::Socket sock(nn_socket(AF_SP, upgrade ? NN_PAIR : NN_REQ));
    if (!sock) {
        ERROR_LINE("nn_socket(AF_SP, NN_REP) fail: %s\n", nn_strerror(nn_errno()));
        return -1;
    }
    if (nn_connect(sock.get(), g.ipc_url) < 0) {
        ERROR_LINE("nn_connect(%s) fail: %s\n", g.ipc_url, nn_strerror(nn_errno()));
        return -1;
    }
    if (!upgrade) {
        int ivl = kNoResendMs;
        if (nn_setsockopt(sock.get(), NN_REQ, NN_REQ_RESEND_IVL, &ivl, sizeof ivl) < 0)
            ERROR_LINE("nn_setsockopt(NN_REQ_RESEND_IVL) fail: %s\n", nn_strerror(nn_errno()));
    }
    g.set_socket(sock.release());
    if (upgrade) http_msg_upgrade_fd = g.socket();
    return 0;
}

int http_msg_socket_close(int index) {
    if (index < 0 || index >= kProtocolGroups) return 0;
    ProtocolGroup& g = protocol_table[index];
    if (isIpcAddress(g.ipc_url) && g.socket() != -1) {
        nn_close(g.socket());
        if (http_msg_upgrade_fd == g.socket()) http_msg_upgrade_fd = -1;
        g.set_socket(-1);
    }
    return 0;
}

JsonReply http_set_command_response(const char* command, const char* receiver,
                                    const char* parameters_text) {
    // The envelope's members are written directly in cJSON_Print's layout;
    // only the parameters (any JSON) go through cJSON, to check and reprint them.
    std::string text;
    text.reserve(160 + (parameters_text ? std::strlen(parameters_text) * 2 : 0));
    json::ObjectWriter root(text, true);
    root.string("Command", command ? command : "")
        .string("Sender", "web_server")
        .string("Receiver", receiver ? receiver : "")
        .number("Timestamp", static_cast<double>(std::time(nullptr)));
    if (JsonPtr parameters = json::parse(parameters_text)) {
        std::optional<std::string> printed = json::printFormatted(parameters.get());
        if (!printed) return std::nullopt;
        root.nested("Parameters", *printed);
    }
    root.close();
    return text;
}

int http_msg_socket_send(const char* text, int length, int socket) {
    int timeout = kSendTimeoutMs;
    int rc = nn_setsockopt(socket, NN_SOL_SOCKET, NN_SNDTIMEO, &timeout, sizeof timeout);
    if (rc < 0) ERROR_LINE("http send set  nn_setsockopt fail return=%d\n", rc);
    DEBUG_LINE("http send data:%s\n", text);
    int sent = nn_send(socket, text, static_cast<size_t>(length), 0);
    if (sent < 0) ERROR_LINE("http send data fail bytes=%d\n", sent);
    return sent;
}

int http_msg_socket_recv(JsonReply& reply_out, char* description, const char* command,
                         int socket) {
    const bool onUpgrade = socket != -1 && socket == http_msg_upgrade_fd;
    int timeout = receiveTimeoutMs(command, onUpgrade);
    if (onUpgrade && timeout == kLongTimeoutMs && std::strcmp(command, "StartUpgrade") == 0)
        ERROR_LINE("http_msg_upgrade_fd timeo=%d\n", timeout);

    for (;;) {
        void* buf = nullptr;
        diag::flush();  // lines so far are out before a wait of up to minutes
        int error = 0;
        int got = receiveWithin(socket, &buf, timeout, error);
        if (got < 0) {
            ERROR_LINE("errno is: %d\n", error);
            if (error == ETIMEDOUT) {
                describe(description, kTimedOut);
                ERROR_LINE("http recv fail connect time out! :%s\n", kTimedOut);
                return kExchangeTimeout;
            }
            describe(description, kRequestFailed);
            ERROR_LINE("http recv fail ! :%s\n", kRequestFailed);
            return kExchangeFailed;
        }
        nn::Message message(buf);
        // The reply is read within its length, never past it.
        const std::string text = nn::textOf(buf, got);
        message.reset();
        ERROR_LINE("http recv buf=%s\n", text.c_str());

        JsonPtr reply = json::parse(text.c_str());
        if (!reply) {
            describe(description, kBadFormat);
            ERROR_LINE("http recv format fail! :%s\n", kBadFormat);
            return kExchangeBadReply;
        }
        const cJSON* cmd = cJSON_GetObjectItemCaseSensitive(reply.get(), "Command");
        if (!cJSON_IsString(cmd) || !cmd->valuestring || !*cmd->valuestring) {
            describe(description, kRequestFailed);
            ERROR_LINE("http recv command fail! :%s\n", kRequestFailed);
            return kExchangeFailed;
        }
        if (!command || std::strcmp(cmd->valuestring, command) != 0) {
            ERROR_LINE("http recv command strcmp fail %s\n", cmd->valuestring);
            describe(description, kRequestFailed);
            ERROR_LINE("http recv command strcmp fail! :%s\n", kRequestFailed);
            return kExchangeFailed;
        }
        const cJSON* response = cJSON_GetObjectItem(reply.get(), "Response");
        if (!cJSON_IsObject(response)) {
            describe(description, kBadFormat);
            ERROR_LINE("http recv format fail!! :%s\n", kBadFormat);
            return kExchangeBadReply;
        }
        if (onUpgrade) {
            const cJSON* result = cJSON_GetObjectItem(response, "Result");
            const cJSON* params = cJSON_GetObjectItem(response, "Parameters");
            const cJSON* progress =
                cJSON_IsObject(params)
                    ? cJSON_GetObjectItemCaseSensitive(params, "UpgradeProgressValue")
                    : nullptr;
            if (cJSON_IsString(result) && std::strcmp(result->valuestring, "OK") == 0 &&
                cJSON_IsNumber(progress)) {
                int value = progress->valueint;
                DEBUG_LINE("http recv ProgressValue->valueint %d\n", value);
                if (value <= 99) continue;  // a progress step: wait for the next one
            }
        }
        std::optional<std::string> printed = json::printFormatted(response);
        if (!printed) {
            describe(description, kRequestFailed);
            ERROR_LINE("http recv fail ! :%s\n", kRequestFailed);
            return kExchangeFailed;
        }
        DEBUG_LINE("http recv format sucess %s\n", printed->c_str());
        reply_out = std::move(printed);
        return kExchangeOk;
    }
}

int http_send_and_recv_app_codec(const char* command, char* description,
                                 const char* parameters_text, JsonReply& reply_out,
                                 int socket, const char* receiver) {
    JsonReply request = http_set_command_response(command, receiver, parameters_text);
    if (!request) {
        // Nothing can be sent, so no reply can come.
        describe(description, kRequestFailed);
        ERROR_LINE("http send recv fail des=%d\n", kExchangeFailed);
        return kExchangeFailed;
    }
    int sent = http_msg_socket_send(request->c_str(), static_cast<int>(request->size() + 1),
                                    socket);
    request.reset();
    int result;
    if (sent < 0) {
        // The application never got the request: no reply to wait for.
        describe(description, kRequestFailed);
        result = kExchangeFailed;
    } else {
        result = http_msg_socket_recv(reply_out, description, command, socket);
    }
    if (result != kExchangeOk) ERROR_LINE("http send recv fail des=%d\n", result);
    return result;
}

int http_protocol_matching(const char* name, int* socket_out, char* receiver_out,
                           int* index_out, const char* parameters_text) {
    // Every slot naming the command: all but the last get the request and
    // their replies are dropped; the last one's socket is handed back.
    std::span<const ProtocolRow> rows = protocol_rows(name);
    int remaining = static_cast<int>(rows.size()) - 1;
    ERROR_LINE("http_protocol_matching  sum=%d\n", remaining);

    char description[128] = {};
    for (const ProtocolRow& row : rows) {
        const int index = row.group;
        ProtocolGroup& g = protocol_table[index];
        http_msg_upgrade_fd = -1;
        if (isIpcAddress(g.ipc_url) && http_msg_socket_init(index) != 0) {
            http_msg_socket_close(index);
            ERROR_LINE("http_msg_socket_init name：%s\n", name);
            return 0;
        }
        if (remaining == 0) {
            if (receiver_out) std::snprintf(receiver_out, sizeof g.receiver, "%s", g.receiver);
            if (socket_out) *socket_out = g.socket();
            if (index_out) *index_out = index;
            return 1;
        }
        remaining -= 1;
        JsonReply discarded;
        http_send_and_recv_app_codec(name, description, parameters_text, discarded, g.socket(),
                                     g.receiver);
        ERROR_LINE("msg sand：name=%s receiver_name=%s des=%s\n", name, g.receiver,
                   description);
        http_msg_socket_close(index);
    }
    return 0;
}
