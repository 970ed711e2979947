#include "ipc/protocol_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/diag.h"
#include "common/fileio.h"
#include "common/paths.h"

ProtocolGroup protocol_table[kProtocolGroups];

namespace {

// Every filled command slot sorted by name, then table order: one for the
// application groups and one for "device_cap".
std::vector<ProtocolRow> appIndex;
std::vector<ProtocolRow> capIndex;

bool rowBefore(const ProtocolRow& a, const ProtocolRow& b) {
    int order = std::strcmp(a.command, b.command);
    if (order != 0) return order < 0;
    return a.group != b.group ? a.group < b.group : a.slot < b.slot;
}

void buildIndex() {
    appIndex.clear();
    capIndex.clear();
    for (int group = 0; group < kProtocolGroups; ++group) {
        const ProtocolGroup& g = protocol_table[group];
        auto& index = std::strcmp(g.receiver, "device_cap") == 0 ? capIndex : appIndex;
        for (int slot = 0; slot < kGroupCommands; ++slot)
            if (g.commands[slot][0] != '\0') index.push_back({g.commands[slot], group, slot});
    }
    std::sort(appIndex.begin(), appIndex.end(), rowBefore);
    std::sort(capIndex.begin(), capIndex.end(), rowBefore);
    appIndex.shrink_to_fit();
    capIndex.shrink_to_fit();
}

std::span<const ProtocolRow> rowsOf(const std::vector<ProtocolRow>& index, const char* name) {
    if (!name || !*name) return {};
    auto [first, last] = std::equal_range(
        index.begin(), index.end(), ProtocolRow{name, 0, 0},
        [](const ProtocolRow& a, const ProtocolRow& b) { return std::strcmp(a.command, b.command) < 0; });
    return {first, last};
}

constexpr std::size_t kMaxLine = 255;
constexpr std::size_t kMaxCommand = sizeof(ProtocolGroup::commands[0]) - 1;   // 63
constexpr std::size_t kMaxReceiver = sizeof(ProtocolGroup::receiver) - 1;     // 31
constexpr std::size_t kMaxUrl = sizeof(ProtocolGroup::ipc_url) - 1;           // 255
constexpr std::size_t kMaxCapPath = sizeof(ProtocolGroup::cap_paths[0]) - 1;  // 127

using fileio::FilePtr;

// getline's growing buffer.
struct LineBuffer {
    char* data = nullptr;
    std::size_t capacity = 0;
    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer() { std::free(data); }
};

bool isTrimSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isBlank(const char* text) {
    for (; *text; ++text)
        if (!isTrimSpace(*text)) return false;
    return true;
}

// Copies a field into its slot; the reader has refused longer ones already.
template <std::size_t N>
void copyField(char (&dest)[N], const std::string& src) {
    const std::size_t n = std::min(src.size(), N - 1);
    std::memcpy(dest, src.data(), n);
    dest[n] = '\0';
}

// The three fields of one line, trimmed.
struct LineFields {
    int count = 0;
    std::string command;
    std::string receiver;
    std::string target;
};

std::string trimmed(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && isTrimSpace(text[begin])) ++begin;
    while (end > begin && isTrimSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// The next field of the text at `*cursor` as strtok_r(..., " ", cursor) gives
// it: blanks skipped, the field ended with a NUL in place; nullptr at the end.
// (Written out: the C library's strtok brings in string scanners that nothing
// else in the server uses, up to 64 KiB more of its code mapped at idle.)
char* nextField(char** cursor) {
    char* p = *cursor;
    while (*p == ' ') ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char* field = p;
    while (*p != '\0' && *p != ' ') ++p;
    if (*p == ' ') *p++ = '\0';
    *cursor = p;
    return field;
}

// Splits `line` in place the way strtok does on blanks (the line is cut after
// its first field, as the closing trace shows), keeping the first three
// fields, each trimmed.
LineFields splitFields(char* line) {
    LineFields fields;
    std::string* slots[] = {&fields.command, &fields.receiver, &fields.target};
    char* cursor = line;
    for (char* tok = nextField(&cursor); tok && fields.count < 3; tok = nextField(&cursor))
        *slots[fields.count++] = trimmed(tok);
    return fields;
}

// Refuses a line the table cannot hold faithfully; empty when the line is fine.
const char* malformedReason(const LineFields& f) {
    if (f.count < 2 || f.receiver.empty()) return "line has no receiver name";
    if (f.command.empty()) return "line has an empty command name";
    if (f.command.size() > kMaxCommand) return "command name longer than 63 characters";
    if (f.receiver.size() > kMaxReceiver) return "receiver name longer than 31 characters";
    if (isIpcAddress(f.target.c_str())) {
        if (f.target.size() > kMaxUrl) return "IPC URL longer than 255 characters";
    } else if (f.target.size() > kMaxCapPath) {
        return "capability path longer than 127 characters";
    }
    return nullptr;
}

// Every line of the table reader names the public reader.
constexpr const char* kReader = "http_read_config_command";

int readTable(const char* path) {
    FilePtr file(std::fopen(path, "r"));
    if (!file) {
        ERROR_LINE_AS(kReader, " open file[%s] failed!\n", path);
        return -7;
    }

    int sum = 0;
    int command_sum = 0;
    std::string previous;  // receiver name of the previous line taken
    int lineNumber = 0;

    LineBuffer buffer;
    for (;;) {
        ssize_t got = getline(&buffer.data, &buffer.capacity, file.get());
        if (got < 0) return 0;  // end of file
        ++lineNumber;
        char* raw = buffer.data;

        std::size_t length = static_cast<std::size_t>(got);
        if (length > 0 && raw[length - 1] == '\n') --length;
        if (length > 0 && raw[length - 1] == '\r') --length;
        if (length > kMaxLine) {
            ERROR_LINE_AS(kReader, "%s:%d: line longer than %zu characters\n", path, lineNumber,
                          kMaxLine);
            return -1;
        }
        raw[length] = '\0';
        // A NUL inside the line ends its text, as for any C text line.
        std::string line(raw);

        if (line.size() < 3 || line[0] == '#' || isBlank(line.c_str())) continue;

        ERROR_LINE_AS(kReader, "###start  %s \n", line.c_str());

        LineFields fields = splitFields(line.data());
        if (const char* reason = malformedReason(fields)) {
            ERROR_LINE_AS(kReader, "%s:%d: %s\n", path, lineNumber, reason);
            return -1;
        }

        if (!previous.empty() && fields.receiver == previous) {
            command_sum += 1;
            if (command_sum == kGroupCommands) {
                ERROR_LINE_AS(kReader, "max protocol num 64 \n");
                return -1;
            }
        } else if (!previous.empty()) {
            sum += 1;
            if (sum == kProtocolGroups) {
                ERROR_LINE_AS(kReader, "max protocol num %d \n", kProtocolGroups);
                return -1;
            }
            command_sum = 0;
        } else {
            command_sum = 0;
        }

        ProtocolGroup& group = protocol_table[sum];
        copyField(group.commands[command_sum], fields.command);
        copyField(group.receiver, fields.receiver);
        if (isIpcAddress(fields.target.c_str()))
            copyField(group.ipc_url, fields.target);
        else
            copyField(group.cap_paths[command_sum], fields.target);
        previous = fields.receiver;

        DEBUG_LINE("command %s \n", group.commands[command_sum]);
        DEBUG_LINE("receiver_name %s \n", group.receiver);
        DEBUG_LINE("sum=%d command_sum=%d\n", sum, command_sum);
        DEBUG_LINE("ipc_url %s\n", group.ipc_url);
        DEBUG_LINE("cap_path %s\n", group.cap_paths[command_sum]);
        ERROR_LINE_AS(kReader, "###end  %s \n", line.c_str());
    }
}

}  // namespace

bool isIpcAddress(const char* target) { return std::strncmp(target, "ipc", 3) == 0; }

void str_trim(char* text) {
    if (!text) return;
    std::size_t len = std::strlen(text);
    while (len > 0 && isTrimSpace(text[len - 1])) text[--len] = '\0';
    std::size_t start = 0;
    while (start < len && isTrimSpace(text[start])) ++start;
    if (start > 0) std::memmove(text, text + start, len - start + 1);
}

int http_read_config_command() { return http_read_config_command_from(paths::kCommandTable); }

int http_read_config_command_from(const char* path) {
    int result = readTable(path);
    // A table only half understood must not route anything.
    if (result != 0)
        clear_protocol_table();
    else
        buildIndex();
    return result;
}

void clear_protocol_table() {
    for (ProtocolGroup& group : protocol_table) group = ProtocolGroup{};
    buildIndex();
}

std::span<const ProtocolRow> protocol_rows(const char* name) { return rowsOf(appIndex, name); }

int http_capability_protocol_matching(const char* name, char* path_out) {
    if (!path_out) return 0;
    std::span<const ProtocolRow> rows = rowsOf(capIndex, name);
    if (rows.empty()) return 0;
    const char* path = protocol_table[rows[0].group].cap_paths[rows[0].slot];
    std::memcpy(path_out, path, sizeof protocol_table[0].cap_paths[0]);
    ERROR_LINE("!!!!!! %s \n", path_out);
    return 1;
}
