// Upload helpers: name decoding and the PNG header reader. (The commands,
// name rules, signatures and copies are tested end to end.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "actions/upload.h"
#include "storage_testdir.h"

// A PNG of `size` bytes whose header declares w x h.
std::string png(std::uint32_t w, std::uint32_t h, std::size_t size = 2048) {
    std::string s(std::max<std::size_t>(size, 24), '\0');
    s.replace(0, 16, "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (int i = 0; i < 4; ++i) s[16 + i] = char(w >> (24 - 8 * i)), s[20 + i] = char(h >> (24 - 8 * i));
    s.resize(size);
    return s;
}

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

TEST(UploadFiles, PngHeader) {
    TestDir t;
    auto put = [&](const std::string& name, const std::string& data) { t.file(name, data); return t / name; };
    int w = 0, h = 0;
    EXPECT_EQ(GetPNGWidthHeight(put("ok.png", png(1920, 1080)).c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_EQ(std::pair(w, h), std::pair(1920, 1080));
    EXPECT_EQ(GetPNGWidthHeight(put("exact.png", png(7, 9, 24)).c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_EQ(std::pair(w, h), std::pair(7, 9));
    EXPECT_EQ(GetPNGWidthHeight(put("huge.png", png(0x80000000u, 1)).c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_LT(w, 0);  // refused later by the bounds
    EXPECT_EQ(GetPNGWidthHeight((t / "missing.png").c_str(), &w, &h), PictureHeader::CannotOpen);
    for (std::size_t n : {0u, 3u, 4u, 7u, 8u, 20u, 23u})
        EXPECT_EQ(GetPNGWidthHeight(put("short.png", png(1, 1).substr(0, n)).c_str(), &w, &h), PictureHeader::Short)
            << n;
}

