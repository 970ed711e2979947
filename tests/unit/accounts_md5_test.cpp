#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "accounts/md5.h"

constexpr const char* kAbc = "900150983cd24fb0d6963f7d28e17f72";  // MD5 of "abc"

TEST(Md5, KnownDigestsAroundThePaddingEdgesAndValidity) {
    const std::pair<std::string, const char*> rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", kAbc},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    };
    for (const auto& [message, hex] : rows) {
        char field[64];
        std::memset(field, 'x', sizeof field);
        digest_text_of(message.c_str(), field);  // digest text, the rest of the field zero
        EXPECT_EQ(std::string(field, sizeof field), hex + std::string(32, '\0')) << message.size();
        EXPECT_EQ(1, isValidMD5(hex));
    }
    EXPECT_EQ(1, isValidMD5("D41D8CD98F00B204E9800998ECF8427E"));
    for (const char* bad : {"d41d8cd98f00b204e9800998ecf8427", "d41d8cd98f00b204e9800998ecf8427e0",
                            "d41d8cd98f00b204e9800998ecf8427g", ""})
        EXPECT_EQ(0, isValidMD5(bad)) << bad;
}

TEST(Md5, DigestTextReadBackInEitherCase) {
    unsigned char digest[16], back[16];
    MD5Buffer("abc", 3, digest);
    md5_sig_from_string(back, "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(0, std::memcmp(back, digest, 16));
}
