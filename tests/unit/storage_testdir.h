// A scratch folder for storage tests, removed with everything in it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class TestDir {
public:
    TestDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "ws-storage-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ~TestDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

    void file(const std::string& rel, const std::string& content = "x") const {
        std::ofstream(path_ + "/" + rel, std::ios::binary) << content;
    }
    void dir(const std::string& rel) const { std::filesystem::create_directories(path_ + "/" + rel); }
    bool exists(const std::string& rel) const {
        struct stat st {};
        return lstat((path_ + "/" + rel).c_str(), &st) == 0;
    }

private:
    std::string path_;
};

// Names of a folder in the order the file system returns them, split into
// non-directories and directories ("." and ".." left out).
struct ScanOrder {
    std::vector<std::string> files;
    std::vector<std::string> dirs;
    std::vector<std::string> all;  // both, in order, dirs marked with a trailing '/'
};

inline ScanOrder scanOrder(const std::string& dir) {
    ScanOrder order;
    DIR* d = opendir(dir.c_str());
    if (!d) return order;
    while (const dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (e->d_type == DT_DIR) {
            order.dirs.push_back(name);
            order.all.push_back(name + "/");
        } else {
            order.files.push_back(name);
            order.all.push_back(name);
        }
    }
    closedir(d);
    return order;
}
