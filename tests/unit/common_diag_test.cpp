// Secret masking of printed lines, and lines reaching the stream whole and in order when batched.
#include <gtest/gtest.h>

#include <string>

#include "common/diag.h"

const std::pair<const char*, const char*> kMaskCases[] = {
    // The commands' own lines are checked end to end (no secret in the output after a run that uses them all); here the
    // edges. JSON keys, any letter case, other keys kept.
    {"{\"password\":\"a\\\"b\",\"x\":\"y\"}", "{\"password\":\"***\",\"x\":\"y\"}"},
    {"{\"AuthPassword\": \"1234\", \"MD5PASSWORD\": \"d41d8c\"}",
     "{\"AuthPassword\": \"***\", \"MD5PASSWORD\": \"***\"}"},
    {"{\"sessionid\": \"ab12\", \"SessionID\":\"cd\"}", "{\"sessionid\": \"***\", \"SessionID\":\"***\"}"},
    // JSON printed inside a JSON string.
    {"\"Body\": \"{\\n\\t\\\"Password\\\":\\t\\\"x\\\\\\\\y\\\"\\n}\"",
     "\"Body\": \"{\\n\\t\\\"Password\\\":\\t\\\"***\\\"\\n}\""},
    // URL queries, any letter case.
    {"url=/a?PassWord=p&SESSIONID=s", "url=/a?PassWord=***&SESSIONID=***"},
    // WiFi keys, and passwords given as numbers ("MD5Password": 1 is only a flag).
    {"{\n\t\"SSID\":\t\"a\",\n\t\"AccessPointSecurityKey\":\t\"wifisecret\"\n}",
     "{\n\t\"SSID\":\t\"a\",\n\t\"AccessPointSecurityKey\":\t\"***\"\n}"},
    {"{\"Password\": 123456, \"MD5Password\": 1}", "{\"Password\": ***, \"MD5Password\": 1}"},
    // Left alone: other keys, names only mentioned, a value cut short.
    {"detection_sessionid done; PassValidation 1", "detection_sessionid done; PassValidation 1"},
    {"{\"password_hint\": \"x\", \"old_sessionid\": \"y\"}", "{\"password_hint\": \"x\", \"old_sessionid\": \"y\"}"},
    {"{\"Password\": \"abc", "{\"Password\": \"***"},
    {"Invalid username or password\n", "Invalid username or password\n"},
};

TEST(DiagMask, Table) {
    for (const auto& [in, want] : kMaskCases) {
        std::string text = in;
        diag::maskSecrets(text);
        EXPECT_EQ(text, want) << in;
    }
}

TEST(DiagOutput, BatchedLinesAreWholeAndOrdered) {
    testing::internal::CaptureStdout();
    diag::batchLines(true);
    const int line = __LINE__ + 1;
    DEBUG_LINE("one %s\n", "{\"Password\": \"secret\"}");
    diag::out("two\n");
    diag::flush();
    diag::out("three %d\n", 3);
    diag::batchLines(false);
    std::string long_text(3000, 'x');
    diag::out("%s\n", long_text.c_str());
    std::string got = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got, "<DEBUG file " __FILE__ ", line " + std::to_string(line) +
                       ">: one {\"Password\": \"***\"}\ntwo\nthree 3\n" + long_text + "\n");
}
