// Reference for bench/bench_listing.sh: the listing's directory scan done by
// a bare readdir + stat loop, with the same rules (folders counted, files
// stat'ed, the card's list file skipped, stop at the 4096th file).
//
//   ref_scan DIR [REPEATS] [GRADE]
// Prints "files=N dirs=M best_ms=X" for the fastest of REPEATS scans.
#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct Entry {
    long long size;
    char time[16];
    std::string name;
};

int scan(const char* dir, int grade, std::vector<Entry>& files, std::vector<std::string>& dirs) {
    DIR* d = opendir(dir);
    if (!d) return -1;
    std::string path = std::string(dir) + "/";
    const std::size_t base = path.size();
    while (const dirent* e = readdir(d)) {
        if (e->d_type == DT_DIR) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) dirs.emplace_back(e->d_name);
            continue;
        }
        if (grade == 0 || std::strcmp(e->d_name, "recodefilelist.txt") == 0) continue;
        path.resize(base);
        path += e->d_name;
        struct stat st {};
        Entry entry{};
        if (stat(path.c_str(), &st) == 0) {
            struct tm t {};
            localtime_r(&st.st_ctime, &t);
            std::snprintf(entry.time, sizeof entry.time, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
            entry.size = st.st_size;
            entry.name = e->d_name;
        }
        files.push_back(std::move(entry));
        if (files.size() >= 4096) break;
    }
    closedir(d);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [REPEATS] [GRADE]\n", argv[0]);
        return 2;
    }
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    const int grade = argc > 3 ? std::atoi(argv[3]) : 1;
    double best = 1e30;
    std::size_t nfiles = 0, ndirs = 0;
    for (int i = 0; i < (repeats > 0 ? repeats : 1); ++i) {
        std::vector<Entry> files;
        std::vector<std::string> dirs;
        const auto start = std::chrono::steady_clock::now();
        if (scan(argv[1], grade, files, dirs) != 0) {
            std::perror(argv[1]);
            return 1;
        }
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
        nfiles = files.size();
        ndirs = dirs.size();
    }
    std::printf("files=%zu dirs=%zu best_ms=%.3f\n", nfiles, ndirs, best);
    return 0;
}
