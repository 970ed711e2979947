// Fuzzes the picture header readers (the input as a PNG and as a BMP file)
// and the upload name decoder (the same bytes as a file name).
#include <cstdint>
#include <string>

#include "actions/upload.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* path = fuzz::asFile(data, size);
    int w = -7, h = -7;
    PictureHeader p = GetPNGWidthHeight(path, &w, &h);
    if ((p == PictureHeader::Ok && size < 24) || (p != PictureHeader::Ok && (w != -7 || h != -7))) std::abort();
    if ((GetBMPWidthHeight(path, &w, &h) == PictureHeader::Ok) != (size >= 26)) std::abort();
    if (compare_files(path, path) != 1) std::abort();

    const std::string raw(reinterpret_cast<const char*>(data), size);
    std::string d;
    UploadName n = checkUploadFileName(raw, d);
    if (n == UploadName::Ok && (d.empty() || d == "." || d == ".." || d.find('/') != std::string::npos ||
                                d.find('\0') != std::string::npos || d.size() > raw.size()))
        std::abort();
    if (n == UploadName::TooLong && size <= kMaxUploadNameLength) std::abort();
    return 0;
}
