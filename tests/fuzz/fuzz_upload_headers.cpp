// Fuzzes the picture header readers and the upload name decoder. The input
// is written to a temporary file and read as PNG and as BMP; the same bytes
// are decoded as an upload file name.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "actions/upload.h"

namespace {
std::string tempPath() {
    static std::string path = [] {
        std::string p = "/tmp/fuzz_upload_headers_XXXXXX";
        int fd = ::mkstemp(p.data());
        if (fd < 0) std::abort();
        ::close(fd);
        return p;
    }();
    static const bool cleanup = [] { return std::atexit([] { ::unlink(path.c_str()); }) == 0; }();
    (void)cleanup;
    return path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = tempPath();
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    int w = -7, h = -7;
    PictureHeader p = GetPNGWidthHeight(path.c_str(), &w, &h);
    if (p == PictureHeader::Ok && size < 24) std::abort();
    if (p != PictureHeader::Ok && (w != -7 || h != -7)) std::abort();
    PictureHeader b = GetBMPWidthHeight(path.c_str(), &w, &h);
    if ((b == PictureHeader::Ok) != (size >= 26)) std::abort();
    if (compare_files(path.c_str(), path.c_str()) != 1) std::abort();

    std::string raw(reinterpret_cast<const char*>(data), size);
    std::string decoded;
    UploadName n = checkUploadFileName(raw, decoded);
    if (n == UploadName::Ok) {
        if (decoded.empty() || decoded == "." || decoded == ".." ||
            decoded.find('/') != std::string::npos || decoded.find('\0') != std::string::npos)
            std::abort();
        if (decoded.size() > raw.size()) std::abort();
    }
    if (n == UploadName::TooLong && size <= kMaxUploadNameLength) std::abort();
    return 0;
}
