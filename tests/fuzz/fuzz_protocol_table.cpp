// libFuzzer target: the protocol table reader on arbitrary file contents, followed by look-ups in whatever it loaded.
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "ipc/protocol_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    clear_protocol_table();
    int rc = http_read_config_command_from(fuzz::asFile(data, size));
    if (rc != 0 && rc != -1) std::abort();
    // Every text the reader stored must be terminated within its slot.
    auto ended = [](const char* s, std::size_t n) { return std::memchr(s, 0, n) != nullptr; };
    char cap[128];
    for (const ProtocolGroup& g : protocol_table) {
        if (!ended(g.receiver, sizeof g.receiver) || !ended(g.ipc_url, sizeof g.ipc_url) || g.socket() != -1)
            std::abort();
        for (int i = 0; i < kGroupCommands; ++i)
            if (!ended(g.commands[i], sizeof g.commands[i]) || !ended(g.cap_paths[i], sizeof g.cap_paths[i]))
                std::abort();
        if (g.commands[0][0] && http_capability_protocol_matching(g.commands[0], cap) && !ended(cap, sizeof cap))
            std::abort();
    }
    return 0;
}
