#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "accounts/md5.h"

namespace {

constexpr const char* kAbc = "900150983cd24fb0d6963f7d28e17f72";  // MD5 of "abc"

TEST(Md5, KnownVectorsAndValidity) {
    // RFC 1321 suite, then lengths around the 56- and 64-byte padding edges.
    const std::pair<std::string, const char*> rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", kAbc},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    };
    for (const auto& [message, hex] : rows) {
        unsigned char digest[16];
        MD5Buffer(message.data(), static_cast<std::uint32_t>(message.size()), digest);
        char text[64];
        md5_sig_to_string(digest, text, sizeof text);
        EXPECT_STREQ(text, hex) << message.size();
        EXPECT_EQ(1, isValidMD5(hex));
    }
    EXPECT_EQ(1, isValidMD5("D41D8CD98F00B204E9800998ECF8427E"));
    for (const char* bad : {"d41d8cd98f00b204e9800998ecf8427", "d41d8cd98f00b204e9800998ecf8427e0",
                            "d41d8cd98f00b204e9800998ecf8427g", "g41d8cd98f00b204e9800998ecf8427e", "", "qorvu"})
        EXPECT_EQ(0, isValidMD5(bad)) << bad;
    char field[64];
    std::memset(field, 'x', sizeof field);
    digest_text_of("qorvu", field);  // the stored form: digest text, rest of the field zero
    EXPECT_STREQ(field, "2575faa39cb7936489acf0a1e25b121c");
    for (int i = 32; i < 64; ++i) EXPECT_EQ(field[i], '\0') << i;
}

TEST(Md5, SigToStringBufferSizes) {
    unsigned char digest[16];
    MD5Buffer("abc", 3, digest);
    const std::string text = kAbc;
    // size -> bytes written: whole pairs that fit, then a NUL if room is left.
    const std::pair<int, std::string> rows[] = {
        {64, text + '\0'}, {33, text + '\0'}, {32, text}, {11, text.substr(0, 10) + '\0'},
        {10, text.substr(0, 10)}, {1, std::string(1, '\0')}, {0, ""}, {-5, ""},
    };
    for (const auto& [size, expected] : rows) {
        char buf[80];
        std::memset(buf, '#', sizeof buf);
        md5_sig_to_string(digest, buf, size);
        const auto* end = static_cast<const char*>(std::memchr(buf, '#', sizeof buf));
        EXPECT_EQ(std::string(buf, end - buf), expected) << size;
    }
    unsigned char back[16];
    md5_sig_from_string(back, "900150983CD24FB0D6963F7D28E17F72");  // either case
    EXPECT_EQ(0, std::memcmp(back, digest, 16));
}

}  // namespace
