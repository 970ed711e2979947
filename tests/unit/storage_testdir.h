// A scratch folder for storage tests, removed with everything in it.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TestDir {
public:
    TestDir() : path_((std::filesystem::temp_directory_path() / "ws-storage-XXXXXX").string()) {
        if (!mkdtemp(path_.data())) std::abort();
    }
    ~TestDir() { std::filesystem::remove_all(path_); }

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
    void file(const std::string& rel, const std::string& content = "x") const {
        std::ofstream(*this / rel, std::ios::binary) << content;
    }
    void dir(const std::string& rel) const { std::filesystem::create_directories(*this / rel); }
    bool exists(const std::string& rel) const {
        struct stat st {};
        return lstat((*this / rel).c_str(), &st) == 0;
    }

private:
    std::string path_;
};
