// Upload helpers: name decoding and the PNG header reader. (The commands,
// name rules, signatures and copies are tested end to end.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "actions/upload.h"

namespace {

void put32(std::string& s, std::size_t at, std::uint32_t v, bool bigEndian) {
    for (int i = 0; i < 4; ++i) s[at + i] = char((v >> (bigEndian ? 24 - 8 * i : 8 * i)) & 0xFF);
}

std::string png(std::uint32_t w, std::uint32_t h, std::size_t size = 2048) {
    std::string s(std::max<std::size_t>(size, 24), '\0');
    s.replace(0, 16, "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    put32(s, 16, w, true);
    put32(s, 20, h, true);
    s.resize(size);
    return s;
}

class UploadFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string t = ::testing::TempDir() + "dispatch_upload_XXXXXX";
        ASSERT_NE(::mkdtemp(t.data()), nullptr);
        dir = t + "/";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    // Writes `data` as file `name` and returns its path.
    std::string put(const std::string& name, const std::string& data) {
        std::ofstream(dir + name, std::ios::binary) << data;
        return dir + name;
    }
    std::string dir;
};

}  // namespace

TEST(UploadNames, PercentDecodingInPlace) {
    const std::pair<std::string, std::string> cases[] = {
        {"%41%4a+b", "AJ+b"},
        {"a%00b", std::string("a\0b", 3)},
        {"%zz", "\xEF"},  // non-hex digits still make a byte: 16 * -1 + -1 = 0xEF
        {"x%4", "x%4"},   // a '%' too close to the end stays
        {"%2541", "%41"},  // decoded once only
    };
    for (const auto& [in, out] : cases) {
        std::string s = in;
        url_decode_in_place(s);
        EXPECT_EQ(s, out) << in;
    }
}

TEST_F(UploadFiles, PngHeader) {
    int w = 0, h = 0;
    EXPECT_EQ(GetPNGWidthHeight(put("ok.png", png(1920, 1080)).c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_EQ(std::pair(w, h), std::pair(1920, 1080));
    EXPECT_EQ(GetPNGWidthHeight(put("exact.png", png(7, 9, 24)).c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_EQ(std::pair(w, h), std::pair(7, 9));
    EXPECT_EQ(GetPNGWidthHeight(put("huge.png", png(0x80000000u, 1)).c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_LT(w, 0);  // refused later by the bounds
    EXPECT_EQ(GetPNGWidthHeight((dir + "missing.png").c_str(), &w, &h), PictureHeader::CannotOpen);
    for (std::size_t n : {0u, 3u, 4u, 7u, 8u, 20u, 23u})
        EXPECT_EQ(GetPNGWidthHeight(put("short.png", png(1, 1).substr(0, n)).c_str(), &w, &h),
                  PictureHeader::Short)
            << n;
}

