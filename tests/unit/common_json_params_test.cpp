#include <gtest/gtest.h>

#include <string>

#include "common/json_params.h"

namespace {

template <typename F>
std::string stderrOf(F&& fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

// Every refusal names the reader it is printed for, never the helper.
std::string lineOf(const char* message) {
    return std::string("someReader>: ") + message;
}

TEST(RequestReader, OpeningRefusals) {
    const struct { const char* text; bool outputs; int rc; const char* err; } rows[] = {
        {nullptr, true, -2, "Invalid params?\n"},
        {"{}", false, -2, "Invalid params?\n"},
        {"{oops", true, -15, "json pack into cjson error...\n"},
        {"{}", true, 0, ""},
    };
    for (const auto& row : rows) {
        RequestReader in("someReader");
        const std::string err =
            stderrOf([&] { EXPECT_EQ(in.open(row.text, row.outputs, "Invalid params?\n"), row.rc); });
        if (row.rc == 0) EXPECT_EQ(err, "");
        else EXPECT_NE(err.find(lineOf(row.err)), std::string::npos) << err;
    }
}

TEST(RequestReader, MembersAndTheirTypes) {
    RequestReader in("someReader");
    ASSERT_EQ(in.open(R"({"s":"x","e":"","n":-7.9,"t":true,"f":false,"o":{}})", true, "-"), 0);
    const char* text = "unset";
    int number = 99;
    EXPECT_TRUE(in.text("s", text, RequestReader::Text::NotEmpty));
    EXPECT_STREQ(text, "x");
    EXPECT_TRUE(in.text("e", text));
    EXPECT_STREQ(text, "");
    EXPECT_TRUE(in.integer("n", number));
    EXPECT_EQ(number, -7);
    EXPECT_TRUE(in.integer("t", number));
    EXPECT_EQ(number, 1);

    const struct { const char* key; bool integer; const char* err; } refused[] = {
        {"e", false, "e is empty or error value type : 16\n"},  // "" refused where text is needed
        {"n", false, "n is empty or error value type : 8\n"},
        {"S", false, "S is empty or error value type : -1\n"},  // keys match case
        {"f", true, "f is empty or error value type : 1\n"},
        {"s", true, "s is empty or error value type : 16\n"},
        {"o", true, "o is empty or error value type : 64\n"},
    };
    for (const auto& row : refused) {
        text = "kept";
        number = 99;
        const std::string err = stderrOf([&] {
            EXPECT_FALSE(row.integer ? in.integer(row.key, number)
                                     : in.text(row.key, text, RequestReader::Text::NotEmpty));
        });
        EXPECT_NE(err.find(lineOf(row.err)), std::string::npos) << err;
        EXPECT_STREQ(text, "kept");
        EXPECT_EQ(number, 99);
    }
}

TEST(ReplyHelpers, CodesLinesAndText) {
    std::string err = stderrOf([] { EXPECT_EQ(reply::invalidInput("someReader"), -2); });
    EXPECT_NE(err.find(lineOf("Invalid input params!\n")), std::string::npos) << err;
    err = stderrOf([] { EXPECT_EQ(reply::outOfMemory("someReader"), -15); });
    EXPECT_NE(err.find(lineOf("Out of memory!\n")), std::string::npos) << err;

    JsonPtr obj(cJSON_CreateObject());
    cJSON_AddNumberToObject(obj.get(), "Port", 80);
    JsonReply out;
    EXPECT_EQ(reply::print("someReader", obj.get(), out), 0);
    EXPECT_EQ(out, std::optional<std::string>("{\n\t\"Port\":\t80\n}"));
    out.reset();
    err = stderrOf([&] { EXPECT_EQ(reply::print("someReader", nullptr, out), -15); });
    EXPECT_FALSE(out);
    EXPECT_NE(err.find(lineOf("Out of memory!\n")), std::string::npos) << err;
}

}  // namespace
