// Operation log channel: one JSON record per gated command, pushed to the
// device's log service.
#pragma once

#include <atomic>

#include "common/json.h"

extern std::atomic<int> log_msg_socket;

int create_log_msg_socket();
// Waits (at most timeout_ms) until the channel is connected to a log
// service, so that the first records are not dropped while it connects.
// Returns at once when no service is listening.
void wait_log_connection(int socket, int timeout_ms);
int get_log_json(const char* level, const char* content, bool flush, bool formatted,
                 JsonReply* text_out);
void send_log_msg(const char* client_address, const char* text);
// Closes the channel at the end of the process.
void closeLogMsgSocket();
