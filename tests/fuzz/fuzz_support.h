// Pieces shared by the libFuzzer targets; each includes this header once.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A target prints nothing per run: libFuzzer reads its flags after this hook, and -close_fd_mask=3 points descriptors 1
// and 2 (our diagnostics write to 2 directly) at /dev/null while its own report and sanitizer reports go to a copy of
// the original stderr. FUZZ_VERBOSE=1 keeps the code's lines.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args;
    static char flag[] = "-close_fd_mask=3";
    if (std::getenv("FUZZ_VERBOSE")) return 0;
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + 1, flag);
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
    return 0;
}

namespace fuzz {

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
