// A scratch folder for storage tests, removed with everything in it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TestDir {
public:
    TestDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "ws-storage-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ~TestDir() {
        std::error_code ec;
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
