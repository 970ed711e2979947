// libFuzzer target: the protocol table reader on arbitrary file contents,
// followed by look-ups in whatever it loaded.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipc/protocol_table.h"

namespace {

// The file the reader is given, one per process, removed at exit.
char tablePath[4096];

void removeTable() { unlink(tablePath); }

const char* tableFile() {
    if (!tablePath[0]) {
        const char* dir = std::getenv("TMPDIR");
        std::snprintf(tablePath, sizeof tablePath, "%s/fuzz_table_XXXXXX",
                      dir && *dir ? dir : "/tmp");
        int fd = mkstemp(tablePath);
        if (fd < 0) std::abort();
        close(fd);
        std::atexit(removeTable);
    }
    return tablePath;
}

struct Quiet {
    // The reader traces every line; keep the fuzzer's own report readable.
    // libFuzzer keeps the stderr stream it found at start-up, so pointing
    // `stderr` elsewhere silences only the code under test (sanitizer
    // reports go straight to file descriptor 2 and stay visible).
    Quiet() {
        if (std::getenv("FUZZ_VERBOSE")) return;
        if (!std::freopen("/dev/null", "w", stdout)) std::abort();
        if (FILE* sink = std::fopen("/dev/null", "w")) stderr = sink;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Quiet quiet;
    const char* path = tableFile();
    FILE* f = std::fopen(path, "wb");
    if (!f) std::abort();
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);

    clear_protocol_table();
    int rc = http_read_config_command_from(path);
    if (rc != 0 && rc != -1) std::abort();

    // Every text the reader stored must be terminated within its slot.
    for (const ProtocolGroup& g : protocol_table) {
        if (!memchr(g.receiver, 0, sizeof g.receiver) || !memchr(g.ipc_url, 0, sizeof g.ipc_url))
            std::abort();
        for (int i = 0; i < kGroupCommands; ++i)
            if (!memchr(g.commands[i], 0, sizeof g.commands[i]) ||
                !memchr(g.cap_paths[i], 0, sizeof g.cap_paths[i]))
                std::abort();
        if (g.socket() != -1) std::abort();
    }
    char cap[128];
    for (const ProtocolGroup& g : protocol_table) {
        if (g.commands[0][0] && http_capability_protocol_matching(g.commands[0], cap) &&
            !memchr(cap, 0, sizeof cap))
            std::abort();
    }
    return 0;
}
