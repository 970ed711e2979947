#include "actions/localtime.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Nothing here calls the set action: the clock is never touched.

TEST(LocalTimeReader, BoundsAndTypeCodes) {
    struct tm t {};
    ASSERT_EQ(getRtcParamFromJSON(R"({"tm_sec":59,"tm_min":59,"tm_hour":23,"tm_mday":31,"tm_mon":11,)"
                                  R"("tm_year":-5,"tm_wday":6})", &t), 0);
    EXPECT_EQ(t.tm_sec + t.tm_min + t.tm_hour + t.tm_mday + t.tm_mon + t.tm_wday, 59 + 59 + 23 + 31 + 11 + 6);
    EXPECT_EQ(t.tm_year, -5);  // the year is the action's to check
    ASSERT_EQ(getRtcParamFromJSON(
                  R"({"tm_sec":true,"tm_min":0,"tm_hour":0,"tm_mday":true,"tm_mon":0,"tm_year":126,"tm_wday":0})", &t),
              0);
    EXPECT_EQ(t.tm_sec, 1);
    EXPECT_EQ(t.tm_mday, 1);

    // Each key missing, a string or false is refused.
    const char* keys[] = {"tm_sec", "tm_min", "tm_hour", "tm_mday", "tm_mon", "tm_year", "tm_wday"};
    for (const char* key : keys) {
        for (const std::string value : {"", "\"1\"", "false"}) {
            std::string body = "{";
            for (const char* k : keys)
                if (k != key) body += std::string("\"") + k + "\":1,";
            if (!value.empty()) body += std::string("\"") + key + "\":" + value + ",";
            body.back() = '}';
            EXPECT_EQ(getRtcParamFromJSON(body.c_str(), &t), -2) << body;
        }
    }
    EXPECT_EQ(getRtcParamFromJSON("not json", &t), -15);
}

}  // namespace
