// Pieces shared by the libFuzzer targets.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Silences stdout and the code's stderr lines unless FUZZ_VERBOSE is set: a
// target must print nothing per run. libFuzzer keeps the stderr stream it
// found at start-up and sanitizers write to descriptor 2, so both stay visible.
inline void quiet() {
    static const bool done = [] {
        if (std::getenv("FUZZ_VERBOSE")) return true;
        if (!std::freopen("/dev/null", "w", stdout)) std::abort();
        if (FILE* sink = std::fopen("/dev/null", "w")) stderr = sink;
        return true;
    }();
    (void)done;
}

// Writes the input to this process's scratch file (removed at exit); returns its path.
inline const char* asFile(const void* data, std::size_t size) {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p = std::string(dir && *dir ? dir : "/tmp") + "/fuzz_input_XXXXXX";
        int fd = ::mkstemp(p.data());
        if (fd < 0) std::abort();
        ::close(fd);
        return p;
    }();
    static const bool cleanup = std::atexit([] { ::unlink(path.c_str()); }) == 0;
    (void)cleanup;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
    return path.c_str();
}

}  // namespace fuzz
