// Request/reply exchange with the device applications over nanomsg.
#pragma once

#include "common/json.h"

inline constexpr int kExchangeOk = 0;
inline constexpr int kExchangeTimeout = 504;
inline constexpr int kExchangeBadReply = 508;
inline constexpr int kExchangeFailed = 550;

// Finds the group(s) owning `name`, delivers to all but the last inside,
// prepares the last one's socket. 1 found, 0 not found / socket failure.
int http_protocol_matching(const char* name, int* socket_out, char* receiver_out,
                           int* index_out, const char* parameters_text);
int http_msg_socket_close(int index);

// One exchange: request envelope out, checked "Response" back in reply_out.
// description (128 bytes) receives the failure reason.
int http_send_and_recv_app_codec(const char* command, char* description,
                                 const char* parameters_text, JsonReply& reply_out,
                                 int socket, const char* receiver);

// The receive time-out in ms for a command (upgrade: on the upgrade socket).
int receiveTimeoutMs(const char* command, bool on_upgrade_socket);

// The pieces of one exchange, for callers and tests that need them alone.
// Opens and connects group `group`'s socket (PAIR for "app_update", else REQ);
// 0 or -1.
int http_msg_socket_init(int group);
// The formatted request envelope; nullopt when it cannot be built.
JsonReply http_set_command_response(const char* command, const char* receiver,
                                    const char* parameters_text);
// Sends `length` bytes as one message (100 ms send time-out); the byte count
// or a negative value.
int http_msg_socket_send(const char* text, int length, int socket);
// Waits for and checks the reply to `command`: 0 (reply_out set), 504, 508, 550.
int http_msg_socket_recv(JsonReply& reply_out, char* description, const char* command,
                         int socket);
