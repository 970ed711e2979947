// The command protocol table: which device application (receiver) owns
// each command and at which nanomsg address it listens; capability
// commands and their files.
#pragma once

#include <span>

inline constexpr int kProtocolGroups = 16;
inline constexpr int kGroupCommands = 64;

// All zero when empty, so that the table (about 200 KiB) takes no file or
// memory pages until it is filled: the open socket is kept as socket + 1.
// What an application group fills (its name, address and first commands)
// comes first, so that such a group usually fills one page, not two.
struct ProtocolGroup {
    int socket() const { return socket_plus_one - 1; }
    void set_socket(int socket) { socket_plus_one = socket + 1; }

    int socket_plus_one = 0;  // 0: no socket open
    char receiver[32] = {};
    char ipc_url[256] = {};
    char commands[kGroupCommands][64] = {};
    char cap_paths[kGroupCommands][128] = {};
};

// The process-wide table, filled once at start-up.
extern ProtocolGroup protocol_table[kProtocolGroups];

// Loads the table file. 0; -7 cannot open; -1 too many groups/commands or a
// malformed line (over-long field or line, a line with one field).
int http_read_config_command();
int http_read_config_command_from(const char* path);  // same, other file
void clear_protocol_table();

// One command slot of the table.
struct ProtocolRow {
    const char* command;
    int group;
    int slot;
};

// The slots naming `name` among the application groups (all but
// "device_cap"), in table order; found through an index built when the table
// is loaded. Empty for an empty or unknown name.
std::span<const ProtocolRow> protocol_rows(const char* name);

// 1 and the capability path copied into path_out (>= 128 bytes) when `name`
// is a "device_cap" command; else 0.
int http_capability_protocol_matching(const char* name, char* path_out);

// True for a target that is a nanomsg IPC address ("ipc..."), false for a
// capability path.
bool isIpcAddress(const char* target);

// Removes leading and trailing white space in place.
void str_trim(char* text);
