#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "accounts/md5.h"

namespace {

std::string hexOf(const std::string& message) {
    unsigned char digest[16];
    MD5Buffer(message.data(), static_cast<std::uint32_t>(message.size()), digest);
    char text[64];
    md5_sig_to_string(digest, text, sizeof text);
    return text;
}

TEST(Md5Buffer, Rfc1321TestSuite) {
    EXPECT_EQ(hexOf(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hexOf("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(hexOf("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hexOf("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(hexOf("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(hexOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(hexOf("1234567890123456789012345678901234567890"
                    "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Buffer, PaddingBoundaries) {
    EXPECT_EQ(hexOf(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(hexOf(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(hexOf(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
    EXPECT_EQ(hexOf(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(hexOf(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
}

TEST(Md5Buffer, HashesExactlyLengthBytes) {
    const char data[] = "abcXYZ";
    unsigned char a[16], b[16];
    MD5Buffer(data, 3, a);
    MD5Buffer("abc", 3, b);
    EXPECT_EQ(0, std::memcmp(a, b, 16));
}

class SigToString : public ::testing::Test {
protected:
    static constexpr const char* kText = "900150983cd24fb0d6963f7d28e17f72";  // "abc"
    unsigned char digest[16];
    char buf[80];
    void SetUp() override {
        MD5Buffer("abc", 3, digest);
        std::memset(buf, '#', sizeof buf);
    }
    // Characters written before the first untouched '#'.
    std::string written() const {
        const void* end = std::memchr(buf, '#', sizeof buf);
        return std::string(buf, static_cast<const char*>(end) - buf);
    }
};

TEST_F(SigToString, BufferSizes) {
    md5_sig_to_string(digest, buf, 64);
    EXPECT_EQ(written(), std::string(kText) + '\0');

    std::memset(buf, '#', sizeof buf);
    md5_sig_to_string(digest, buf, 33);
    EXPECT_EQ(written(), std::string(kText) + '\0');

    std::memset(buf, '#', sizeof buf);
    md5_sig_to_string(digest, buf, 32);
    EXPECT_EQ(written(), std::string(kText));  // no terminator

    std::memset(buf, '#', sizeof buf);
    md5_sig_to_string(digest, buf, 11);
    EXPECT_EQ(written(), std::string(kText, 10) + '\0');

    std::memset(buf, '#', sizeof buf);
    md5_sig_to_string(digest, buf, 10);
    EXPECT_EQ(written(), std::string(kText, 10));

    std::memset(buf, '#', sizeof buf);
    md5_sig_to_string(digest, buf, 1);
    EXPECT_EQ(written(), std::string(1, '\0'));

    std::memset(buf, '#', sizeof buf);
    md5_sig_to_string(digest, buf, 0);
    EXPECT_EQ(written(), "");
    md5_sig_to_string(digest, buf, -5);
    EXPECT_EQ(written(), "");
}

TEST_F(SigToString, RoundTripThroughFromString) {
    md5_sig_to_string(digest, buf, 64);
    unsigned char back[16];
    md5_sig_from_string(back, buf);
    EXPECT_EQ(0, std::memcmp(back, digest, 16));

    // Upper-case digits read as their values.
    std::string upper = kText;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    md5_sig_from_string(back, upper.c_str());
    EXPECT_EQ(0, std::memcmp(back, digest, 16));
}

TEST(IsValidMd5, Shapes) {
    EXPECT_EQ(1, isValidMD5("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(1, isValidMD5("D41D8CD98F00B204E9800998ECF8427E"));
    EXPECT_EQ(0, isValidMD5("d41d8cd98f00b204e9800998ecf8427"));    // 31
    EXPECT_EQ(0, isValidMD5("d41d8cd98f00b204e9800998ecf8427e0"));  // 33
    EXPECT_EQ(0, isValidMD5("d41d8cd98f00b204e9800998ecf8427g"));
    EXPECT_EQ(0, isValidMD5("g41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(0, isValidMD5(""));
    EXPECT_EQ(0, isValidMD5("qorvu"));
}

TEST(DigestTextOf, FillsA64ByteField) {
    char out[64];
    std::memset(out, 'x', sizeof out);
    digest_text_of("qorvu", out);
    EXPECT_STREQ(out, "2575faa39cb7936489acf0a1e25b121c");
    for (int i = 32; i < 64; ++i) EXPECT_EQ(out[i], '\0') << i;
}

}  // namespace
