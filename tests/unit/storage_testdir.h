// A scratch folder for tests, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TestDir {
public:
    TestDir() : path_((std::filesystem::temp_directory_path() / "ws-test-XXXXXX").string()) {
        if (!mkdtemp(path_.data())) std::abort();
    }
    ~TestDir() { std::filesystem::remove_all(path_); }

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
    void file(const std::string& rel, const std::string& content = "x") const {  // its folders made too
        std::filesystem::create_directories(std::filesystem::path(*this / rel).parent_path());
        std::ofstream(*this / rel, std::ios::binary) << content;
    }
    void dir(const std::string& rel) const { std::filesystem::create_directories(*this / rel); }
    std::string read(const std::string& rel) const {
        std::ifstream in(*this / rel, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    std::string path_;
};
