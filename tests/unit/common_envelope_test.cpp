// The directly written texts must be the bytes cJSON prints for the same tree.
#include "common/envelope.h"

#include <gtest/gtest.h>

#include <string>

std::string cjsonPrint(const cJSON* item, bool formatted) {
    char* p = formatted ? cJSON_Print(item) : cJSON_PrintUnformatted(item);
    std::string s(p ? p : "");
    cJSON_free(p);
    return s;
}

TEST(DirectJson, SameBytesAsCJson) {
    const char* strings[] = {"", "OK", "quote \" back \\ slash /", "\b\f\n\r\t", "\x01\x1f\x7f",
                             "\xE5\x9B\xBE \xF0\x9F\x98\x80", "bad \xFF utf-8", "a\"\"b\\\\"};
    const double numbers[] = {0, -1, 42, 1733600000, 2147483647.0, 4102444800.0, -3e9, 0.1, 1.0 / 3, 1e300, -0.5};
    for (bool formatted : {true, false})
        for (const char* s : strings)
            for (double d : numbers) {
                JsonPtr tree(cJSON_CreateObject());
                cJSON_AddStringToObject(tree.get(), "Level", s);
                cJSON_AddNumberToObject(tree.get(), "Timestamp", d);
                cJSON_AddBoolToObject(tree.get(), "Flush", d > 0);
                cJSON_AddStringToObject(tree.get(), s, "key escaped too");
                std::string text;
                json::ObjectWriter(text, formatted).string("Level", s).number("Timestamp", d).boolean("Flush", d > 0)
                    .string(s, "key escaped too").close();
                EXPECT_EQ(text, cjsonPrint(tree.get(), formatted)) << s << " " << d;
            }
}

TEST(DirectJson, NestedValueIndentedLikeCJson) {
    const char* params[] = {"{}", "[]", "3", "\"s\\n\"", "{\"a\":[1,{\"b\":{\"c\":[]}},\"x\"],\"d\":{}}",
                            "[{\"k\":\"v\\t\"},[[{}]]]", "{\"\xE5\x9B\xBE\":null,\"t\":true}"};
    for (const char* p : params) {
        JsonPtr tree(cJSON_CreateObject());
        cJSON_AddStringToObject(tree.get(), "Command", "GetX");
        cJSON_AddItemToObject(tree.get(), "Parameters", cJSON_Parse(p));
        std::string text;
        json::ObjectWriter(text, true).string("Command", "GetX")
            .nested("Parameters", *json::printFormatted(json::parse(p).get())).close();
        EXPECT_EQ(text, cjsonPrint(tree.get(), true)) << p;
    }
}

TEST(DirectJson, Envelopes) {
    auto tree = [](const char* result, const int* code, const char* reason, const char* raw) {
        JsonPtr t(cJSON_CreateObject());
        cJSON_AddStringToObject(t.get(), "Result", result);
        if (code) cJSON_AddNumberToObject(t.get(), "ErrorNo", *code);
        if (reason) cJSON_AddStringToObject(t.get(), "Reason", reason);
        if (raw) cJSON_AddRawToObject(t.get(), "Parameters", raw);
        return cjsonPrint(t.get(), true);
    };
    const int code = -22;
    EXPECT_EQ(envelope::okResponse(), tree("OK", nullptr, nullptr, nullptr));
    EXPECT_EQ(envelope::okWithReason("a \"b\"\n"), tree("OK", nullptr, "a \"b\"\n", nullptr));
    EXPECT_EQ(envelope::errorResponse(code, "\xE5\x9B\xBE"), tree("Fail", &code, "\xE5\x9B\xBE", nullptr));
    JsonReply r;
    formatParamsJSON(r, "", "{\n\t\"A\":\t1\n}");
    EXPECT_EQ(*r, tree("OK", nullptr, "", "{\n\t\"A\":\t1\n}"));
    formatFailCallJSON(r, nullptr);
    EXPECT_EQ(*r, tree("Fail", nullptr, "", nullptr));
}
