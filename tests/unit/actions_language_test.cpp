#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "actions/language.h"

namespace {

template <typename F>
std::string stderrOf(F&& fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

TEST(LanguageBody, AcceptsTheTwoLanguages) {
    LanguageRecord r{};
    ASSERT_EQ(0, getLanguageFormatFromJSON(R"({"language":"english","mode":2})", &r));
    EXPECT_STREQ(r.language, "english");
    EXPECT_EQ(r.mode, 2);
    EXPECT_STREQ(r.page, "login.html");
    // The record bytes after each text stay zero.
    for (std::size_t i = std::strlen("english"); i < sizeof r.language; ++i) ASSERT_EQ(r.language[i], '\0');
    for (std::size_t i = std::strlen("login.html"); i < sizeof r.page; ++i) ASSERT_EQ(r.page[i], '\0');

    LanguageRecord c{};
    ASSERT_EQ(0, getLanguageFormatFromJSON(R"({"language":"chinese","mode":true})", &c));
    EXPECT_EQ(c.mode, 1);
    ASSERT_EQ(0, getLanguageFormatFromJSON(R"({"mode":-5,"language":"chinese"})", &c));
    EXPECT_EQ(c.mode, -5);
}

TEST(LanguageBody, Refusals) {
    LanguageRecord r{};
    std::string err = stderrOf([&] { EXPECT_EQ(-2, getLanguageFormatFromJSON(R"({"language":"English","mode":1})", &r)); });
    EXPECT_NE(err.find("Invalid params!\n"), std::string::npos);
    EXPECT_EQ(-2, getLanguageFormatFromJSON(R"({"language":"french","mode":1})", &r));
    err = stderrOf([&] { EXPECT_EQ(-2, getLanguageFormatFromJSON(R"({"language":"","mode":1})", &r)); });
    EXPECT_NE(err.find("language is empty or error value type : 16\n"), std::string::npos) << err;
    err = stderrOf([&] { EXPECT_EQ(-2, getLanguageFormatFromJSON(R"({"mode":1})", &r)); });
    EXPECT_NE(err.find("language is empty or error value type : -1\n"), std::string::npos);
    err = stderrOf([&] { EXPECT_EQ(-2, getLanguageFormatFromJSON(R"({"language":"english","mode":"2"})", &r)); });
    EXPECT_NE(err.find("mode is empty or error value type : 16\n"), std::string::npos);
    EXPECT_STREQ(r.language, "");  // language copied only once both keys passed
    EXPECT_EQ(-2, getLanguageFormatFromJSON(R"({"language":"english"})", &r));
    EXPECT_EQ(-2, getLanguageFormatFromJSON(R"({"Language":"english","mode":1})", &r));
    EXPECT_EQ(-15, getLanguageFormatFromJSON("nope", &r));
    EXPECT_EQ(-2, getLanguageFormatFromJSON(nullptr, &r));
    EXPECT_EQ(-2, getLanguageFormatFromJSON("{}", nullptr));
}

TEST(LanguageParams, Format) {
    LanguageRecord r{};
    std::strcpy(r.language, "english");
    r.mode = -5;
    JsonReply out;
    ASSERT_EQ(0, formatLanguageParamJSON(out, &r));
    EXPECT_EQ(*out, "{\n\t\"language\":\t\"english\",\n\t\"mode\":\t-5\n}");

    // A record read from a damaged file has no terminator in its field.
    std::memset(r.language, 'x', sizeof r.language);
    ASSERT_EQ(0, formatLanguageParamJSON(out, &r));
    EXPECT_NE(out->find(std::string(128, 'x') + "\""), std::string::npos);

    JsonReply none;
    EXPECT_EQ(-2, formatLanguageParamJSON(none, nullptr));
}

TEST(LanguageActions, SetRefusesBadBodyWithoutWriting) {
    JsonReply out;
    EXPECT_EQ(-1, actionSetLanguageFormat(R"({"language":"Chinese","mode":0})", out));
    EXPECT_EQ(*out, "{\n\t\"Result\":\t\"Fail\",\n\t\"Reason\":\t\"set language params fail\"\n}");
}

}  // namespace
