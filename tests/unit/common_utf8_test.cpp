#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>

TEST(Utf8, CheckAndRepair) {
    const std::string R = "\xEF\xBF\xBD";  // U+FFFD
    const struct { std::string in, repaired; } rows[] = {
        {"", ""}, {"plain.mp4", "plain.mp4"}, {"\xE5\x9B\xBE.png", "\xE5\x9B\xBE.png"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"}, {"a\xFF", "a" + R},
        {"a\xE5\x9B", "a" + R}, {"\xE5\x9B" "A", R + "A"},  // a cut sequence is one part
        {"\xC0\xAF", R + R},                     // overlong '/'
        {"\xED\xA0\x80", R + R + R},             // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},     // above U+10FFFF
        {"\x80x", R + "x"},                      // stray continuation byte
    };
    for (const auto& row : rows) {
        EXPECT_EQ(utf8::repaired(row.in), row.repaired) << row.in;
        EXPECT_EQ(utf8::valid(row.in), row.in == row.repaired) << row.in;
        EXPECT_TRUE(utf8::valid(utf8::repaired(row.in))) << row.in;
    }
}
