// The query walk: member typing, JSON shape, the form checks and the captured values.
#include <gtest/gtest.h>

#include <climits>
#include <tuple>

#include "common/json.h"
#include "dispatch/query.h"

using dispatch::convert_query;
using dispatch::QueryStatus;

TEST(QueryShape, SBeginningAndSEndingNamesGiveAnArray) {
    EXPECT_EQ(*convert_query("SetFooParameters", "A=1", false).json, "[{\n\t\t\"A\":\t1\n\t}]");
    for (const char* name : {"SetVideoOutputDisplayParameter", "setParameters", "S", ""})
        EXPECT_EQ(*convert_query(name, "A=1", false).json, "{\n\t\"A\":\t1\n}") << name;
}

TEST(QueryTyping, MembersAreTypedByNameAndShape) {
    const struct { const char *action, *query, *json; } cases[] = {  // json: the compact print of the result
        // object shape: all digits are numbers, except the RTSP credentials
        {"SetRtspServerParameter", "Port=554&AuthPassword=1234&AuthUsername=007&AuthRealmName=1",
         R"({"Port":554,"AuthPassword":"1234","AuthUsername":"007","AuthRealmName":"1"})"},
        {"GetRtsp", "AuthPassword=1234", R"({"AuthPassword":1234})"},
        // Index / Channel with a leading "-1"
        {"SetVideoOutputDisplayParameter", "Index=-1&Index=-2", R"({"Index":-1,"Index":"-2"})"},
        {"GetX", "Channel=-1abc&Channel=-12&Other=-1", R"({"Channel":-1,"Channel":-12,"Other":"-1"})"},
        // colours: over three characters, the first three (the "%23") become '#'
        {"SetVideoOutputDisplayParameter",
         "BackgroundColor=%23FF8000&WindowBorderColor=%23000000&AudioOutputWindowBorderColor=abcd",
         R"({"BackgroundColor":"#FF8000","WindowBorderColor":"#000000","AudioOutputWindowBorderColor":"#d"})"},
        {"GetX", "BackgroundColor=%23FF8000&Content=%00&Name=a+b%20c",
         R"({"BackgroundColor":"%23FF8000","Content":"%00","Name":"a+b%20c"})"},
        // array shape
        {"SetVideoEncodeOSDParameters", "Content=123&Size=24", R"([{"Content":"123","Size":24}])"},
        {"SetVideoEncodeOSDParameters", "Content=%00&Size=%00&Size=%000", R"([{"Content":"","Size":0,"Size":"%000"}])"},
        {"SetNetworkWIFIParameters", "SSID=1&SecurityKey=2&AccessPointSSID=3&AccessPointSecurityKey=4",
         R"([{"SSID":"1","SecurityKey":"2","AccessPointSSID":"3","AccessPointSecurityKey":"4"}])"},
        {"SetStreamingInputParameters", "URL=1&Alias=1&AuthUsername=1&AuthPassword=1&Port=8554",
         R"([{"URL":"1","Alias":"1","AuthUsername":"1","AuthPassword":"1","Port":8554}])"},
        // signed members; the Index rule belongs to the object shape only
        {"SetVideoOutputSourceParameters", "CacheTime=-5&Index=-1&ForeColor=%23FFFFFF",
         R"([{"CacheTime":-5,"Index":"-1","ForeColor":"%23FFFFFF"}])"},
        {"SetAudioOutputParameters", "SourceIndex=-1&SourceIndex=abc&Volume=-1",
         R"([{"SourceIndex":-1,"SourceIndex":0,"Volume":"-1"}])"},
        {"SetVideoEncodeOSDParameters", "ForeColor=%23FFFFFF", R"([{"ForeColor":"#FFFFFF"}])"},
        {"SetWatermarkOSDParameters", "BackColor=%23000000&BackColor=abc",
         R"([{"BackColor":"#000000","BackColor":"abc"}])"},
        // numbers saturate at the 32-bit limits
        {"GetX", "A=2147483647&B=2147483648&C=99999999999999999999999&Index=-199999999999&D=000",
         R"({"A":2147483647,"B":2147483647,"C":2147483647,"Index":-2147483648,"D":0})"},
        // odd but valid: a doubled '&' starts the key, '=' in a value,
        // keys as they stand, duplicates kept in query order
        {"GetX", "a=1&&b=2&c=b=c&a%20b=x&a=y", R"({"a":1,"&b":2,"c":"b=c","a%20b":"x","a":"y"})"},
        // captured keys never reach the JSON; the names are case-sensitive
        {"GetX", "sessionid=1&SessionId=2&username=u&password=p&edidfile=e&fileName=f", R"({"SessionId":2})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.action) + "?" + c.query);
        auto conv = convert_query(c.action, c.query, false);
        ASSERT_TRUE(conv.status == QueryStatus::Ok && conv.json);
        EXPECT_EQ(json::printCompact(json::parse(conv.json->c_str()).get()).value_or("<unparsable>"), c.json);
    }
    EXPECT_EQ(dispatch::query_int_value(""), 0);
    EXPECT_EQ(dispatch::query_int_value("-2147483648"), INT_MIN);
    EXPECT_EQ(dispatch::query_int_value("-2147483649"), INT_MIN);
}

// Invalid segments, the captured credentials and file names are tested end to end.
TEST(QueryCapture, LastPairWinsAndABodyStopsOnlyTheJson) {
    auto c = convert_query("SetFooParameters", "sessionid=1&edidfile=e.bin&sessionid=s1&Enable=1", true);
    ASSERT_EQ(c.status, QueryStatus::Ok);
    EXPECT_EQ(std::tuple(c.json.has_value(), c.jsonType, *c.captured.sessionid, *c.captured.edidfile),
              std::tuple(false, 1, "s1", "e.bin"));
}
