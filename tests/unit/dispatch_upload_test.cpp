// Upload helpers: name decoding, picture headers, file copy and compare,
// in a temporary folder. (The commands themselves are tested end to end.)
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "dispatch/upload.h"

namespace {

std::string makeTempDir() {
    std::string t = ::testing::TempDir() + "dispatch_upload_XXXXXX";
    char* d = ::mkdtemp(t.data());
    EXPECT_NE(d, nullptr);
    return std::string(d) + "/";
}

void removeTree(const std::string& dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    (void)!std::system(cmd.c_str());
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> r;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") r.insert(e->d_name);
        ::closedir(d);
    }
    return r;
}

void put32be(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = char((v >> (24 - 8 * i)) & 0xFF);
}
void put32le(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = char((v >> (8 * i)) & 0xFF);
}

std::string png(std::uint32_t w, std::uint32_t h, std::size_t size = 2048) {
    std::string s(size < 24 ? 24 : size, '\0');
    s.replace(0, 8, "\x89PNG\r\n\x1a\n", 8);
    put32be(s, 8, 13);
    s.replace(12, 4, "IHDR");
    put32be(s, 16, w);
    put32be(s, 20, h);
    s.resize(size);
    return s;
}

std::string bmp(std::int32_t w, std::int32_t h, std::size_t size = 2048) {
    std::string s(size < 26 ? 26 : size, '\0');
    s[0] = 'B';
    s[1] = 'M';
    put32le(s, 14, 40);
    put32le(s, 18, std::uint32_t(w));
    put32le(s, 22, std::uint32_t(h));
    s.resize(size);
    return s;
}

std::string decoded(std::string s) {
    url_decode_in_place(s);
    return s;
}

}  // namespace

TEST(UploadNames, HexDigitsAndPercentDecoding) {
    EXPECT_EQ(hex_digit_value('0'), 0);
    EXPECT_EQ(hex_digit_value('9'), 9);
    EXPECT_EQ(hex_digit_value('a'), 10);
    EXPECT_EQ(hex_digit_value('F'), 15);
    EXPECT_EQ(hex_digit_value('g'), -1);
    EXPECT_EQ(hex_digit_value('%'), -1);
    EXPECT_EQ(hex_digit_value('\0'), -1);

    EXPECT_EQ(decoded("logo%2Epng"), "logo.png");
    EXPECT_EQ(decoded("%41%4a%4A"), "AJJ");
    EXPECT_EQ(decoded("a+b"), "a+b");
    EXPECT_EQ(decoded("%e4%b8%ad"), "\xe4\xb8\xad");
    EXPECT_EQ(decoded("a%00b"), std::string("a\0b", 3));
    // non-hex digits still make one byte: 16 * -1 + -1 = -17 = 0xEF
    EXPECT_EQ(decoded("%zz"), "\xEF");
    // a '%' too close to the end stays as it is
    EXPECT_EQ(decoded("x%4"), "x%4");
    EXPECT_EQ(decoded("x%"), "x%");
    EXPECT_EQ(decoded("%"), "%");
    EXPECT_EQ(decoded(""), "");
    EXPECT_EQ(decoded("%2541"), "%41");  // decoded once only
}

TEST(UploadNames, RulesForTheWatermarkName) {
    std::string d;
    EXPECT_EQ(check_upload_file_name(std::nullopt, d), UploadName::Missing);
    EXPECT_EQ(check_upload_file_name(std::string(254, 'a'), d), UploadName::Ok);
    EXPECT_EQ(check_upload_file_name(std::string(255, 'a'), d), UploadName::TooLong);
    // the bound is on the raw text: 254 raw characters decoding to fewer pass
    EXPECT_EQ(check_upload_file_name(std::string(84, 'a') + std::string(170, 'b'), d),
              UploadName::Ok);
    EXPECT_EQ(check_upload_file_name(std::string("logo%2Epng"), d), UploadName::Ok);
    EXPECT_EQ(d, "logo.png");
    for (const char* bad : {"", ".", "..", "%2E", "%2E%2E", "a/b", "a%2Fb", "%2F", "..%2Fx",
                            "a%00b", "%00", "/etc/passwd"}) {
        EXPECT_EQ(check_upload_file_name(std::string(bad), d), UploadName::Invalid) << bad;
    }
    EXPECT_EQ(check_upload_file_name(std::string("...."), d), UploadName::Ok);
    EXPECT_EQ(check_upload_file_name(std::string(".hidden"), d), UploadName::Ok);
}

class UploadFiles : public ::testing::Test {
protected:
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override { removeTree(dir); }
    std::string dir;
};

TEST_F(UploadFiles, PngHeader) {
    int w = 0, h = 0;
    writeFile(dir + "ok.png", png(1920, 1080));
    EXPECT_EQ(GetPNGWidthHeight((dir + "ok.png").c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 1080);
    writeFile(dir + "exact.png", png(7, 9, 24));
    EXPECT_EQ(GetPNGWidthHeight((dir + "exact.png").c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_EQ(w, 7);
    EXPECT_EQ(h, 9);
    writeFile(dir + "huge.png", png(0x80000000u, 1));
    EXPECT_EQ(GetPNGWidthHeight((dir + "huge.png").c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_LT(w, 0);  // refused later by the bounds

    EXPECT_EQ(GetPNGWidthHeight((dir + "missing.png").c_str(), &w, &h), PictureHeader::CannotOpen);
    std::string bad = png(1, 1);
    bad[1] = 'X';
    writeFile(dir + "bad1.png", bad);
    EXPECT_EQ(GetPNGWidthHeight((dir + "bad1.png").c_str(), &w, &h),
              PictureHeader::BadSignatureStart);
    bad = png(1, 1);
    bad[7] = 0;
    writeFile(dir + "bad2.png", bad);
    EXPECT_EQ(GetPNGWidthHeight((dir + "bad2.png").c_str(), &w, &h),
              PictureHeader::BadSignatureEnd);
    for (std::size_t n : {0u, 3u, 4u, 7u, 8u, 20u, 23u}) {
        writeFile(dir + "short.png", png(1, 1).substr(0, n));
        EXPECT_EQ(GetPNGWidthHeight((dir + "short.png").c_str(), &w, &h), PictureHeader::Short)
            << n;
    }
}

TEST_F(UploadFiles, BmpHeader) {
    int w = 0, h = 0;
    writeFile(dir + "a.bmp", bmp(640, 480));
    EXPECT_EQ(GetBMPWidthHeight((dir + "a.bmp").c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    writeFile(dir + "down.bmp", bmp(640, -480));
    EXPECT_EQ(GetBMPWidthHeight((dir + "down.bmp").c_str(), &w, &h), PictureHeader::Ok);
    EXPECT_EQ(h, -480);
    writeFile(dir + "short.bmp", bmp(1, 1).substr(0, 25));
    EXPECT_EQ(GetBMPWidthHeight((dir + "short.bmp").c_str(), &w, &h), PictureHeader::Short);
    writeFile(dir + "empty.bmp", "");
    EXPECT_EQ(GetBMPWidthHeight((dir + "empty.bmp").c_str(), &w, &h), PictureHeader::Short);
    EXPECT_EQ(GetBMPWidthHeight((dir + "none.bmp").c_str(), &w, &h), PictureHeader::CannotOpen);
}

TEST_F(UploadFiles, CompareFiles) {
    std::string big(100000, 'x');
    writeFile(dir + "a", big);
    writeFile(dir + "b", big);
    EXPECT_EQ(compare_files((dir + "a").c_str(), (dir + "b").c_str()), 1);
    big[50000] = 'y';  // a difference past the first block
    writeFile(dir + "c", big);
    EXPECT_EQ(compare_files((dir + "a").c_str(), (dir + "c").c_str()), 0);
    big[50000] = 'x';
    big.back() = 'z';
    writeFile(dir + "d", big);
    EXPECT_EQ(compare_files((dir + "a").c_str(), (dir + "d").c_str()), 0);
    writeFile(dir + "e", big + "x");
    EXPECT_EQ(compare_files((dir + "d").c_str(), (dir + "e").c_str()), 0);
    writeFile(dir + "empty1", "");
    writeFile(dir + "empty2", "");
    EXPECT_EQ(compare_files((dir + "empty1").c_str(), (dir + "empty2").c_str()), 1);
    EXPECT_EQ(compare_files((dir + "a").c_str(), (dir + "missing").c_str()), 0);
    EXPECT_EQ(compare_files((dir + "missing").c_str(), (dir + "missing").c_str()), 0);
}

TEST_F(UploadFiles, CopyFileIsWholeOrNothing) {
    writeFile(dir + "src", std::string(5000, 's'));
    writeFile(dir + "dst", "old");
    EXPECT_EQ(copyFile((dir + "src").c_str(), (dir + "dst").c_str()), 0);
    EXPECT_EQ(readFile(dir + "dst"), std::string(5000, 's'));

    EXPECT_EQ(copyFile((dir + "nothere").c_str(), (dir + "dst").c_str()), -1);
    EXPECT_EQ(readFile(dir + "dst"), std::string(5000, 's'));
    EXPECT_EQ(copyFile((dir + "src").c_str(), (dir + "nofolder/dst").c_str()), -1);
    // a folder as the destination: the rename fails, nothing is left behind
    ::mkdir((dir + "sub").c_str(), 0700);
    writeFile(dir + "sub/keep", "k");
    EXPECT_EQ(copyFile((dir + "src").c_str(), (dir + "sub").c_str()), -1);
    EXPECT_EQ(entries(dir), (std::set<std::string>{"src", "dst", "sub"}));
    // copying a file over itself keeps it whole
    EXPECT_EQ(copyFile((dir + "dst").c_str(), (dir + "dst").c_str()), 0);
    EXPECT_EQ(readFile(dir + "dst"), std::string(5000, 's'));
}

TEST_F(UploadFiles, RemoveOtherPlainFiles) {
    writeFile(dir + "new.png", "n");
    writeFile(dir + "old.jpg", "o");
    writeFile(dir + "notes.txt", "t");
    ::mkdir((dir + "sub").c_str(), 0700);
    ASSERT_EQ(::symlink("/nonexistent", (dir + "link").c_str()), 0);
    EXPECT_EQ(remove_other_plain_files(dir, "new.png"), 2);
    EXPECT_EQ(entries(dir), (std::set<std::string>{"new.png", "sub", "link"}));
    EXPECT_EQ(remove_other_plain_files(dir + "nothere/", "x"), -1);
}
