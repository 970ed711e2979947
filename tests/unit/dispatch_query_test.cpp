// The query walk: captured values, JSON shape, member typing, the form
// checks, and the text that reaches the forwarding.
#include <gtest/gtest.h>

#include <climits>

#include "common/json.h"
#include "dispatch/query.h"

using dispatch::convert_query;
using dispatch::QueryStatus;

namespace {

// The one object the members went into (shape 0: the root, shape 1: [0]).
JsonPtr membersOf(const dispatch::QueryConversion& c) {
    EXPECT_TRUE(c.json.has_value());
    return json::parse(c.json ? c.json->c_str() : nullptr);
}

const cJSON* object(const JsonPtr& root, int shape) {
    if (!root) return nullptr;
    if (shape == 0) return cJSON_IsObject(root.get()) ? root.get() : nullptr;
    if (!cJSON_IsArray(root.get()) || cJSON_GetArraySize(root.get()) != 1) return nullptr;
    return cJSON_GetArrayItem(root.get(), 0);
}

// Expects one member `key` typed as a number with value `v`.
void expectNumber(std::string_view action, std::string query, const char* key, double v) {
    auto c = convert_query(action, query, false);
    ASSERT_EQ(c.status, QueryStatus::Ok) << query;
    auto root = membersOf(c);
    const cJSON* o = object(root, c.jsonType);
    ASSERT_NE(o, nullptr) << *c.json;
    const cJSON* m = cJSON_GetObjectItemCaseSensitive(o, key);
    ASSERT_TRUE(cJSON_IsNumber(m)) << action << "?" << query << " -> " << *c.json;
    EXPECT_EQ(m->valuedouble, v) << query;
}

void expectString(std::string_view action, std::string query, const char* key, const char* v) {
    auto c = convert_query(action, query, false);
    ASSERT_EQ(c.status, QueryStatus::Ok) << query;
    auto root = membersOf(c);
    const cJSON* o = object(root, c.jsonType);
    ASSERT_NE(o, nullptr) << *c.json;
    const cJSON* m = cJSON_GetObjectItemCaseSensitive(o, key);
    ASSERT_TRUE(cJSON_IsString(m)) << action << "?" << query << " -> " << *c.json;
    EXPECT_STREQ(m->valuestring, v) << query;
}

}  // namespace

TEST(QueryShape, SBeginningAndSEndingNamesGiveAnArray) {
    EXPECT_EQ(dispatch::json_shape("SetVideoEncodeOSDParameters"), 1);
    EXPECT_EQ(dispatch::json_shape("SetVideoOutputDisplayParameter"), 0);
    EXPECT_EQ(dispatch::json_shape("GetVideoEncodeOSDParameters"), 0);
    EXPECT_EQ(dispatch::json_shape("setParameters"), 0);
    EXPECT_EQ(dispatch::json_shape("Ss"), 1);
    EXPECT_EQ(dispatch::json_shape("S"), 0);
    EXPECT_EQ(dispatch::json_shape(""), 0);

    auto c = convert_query("SetFooParameters", "A=1", false);
    EXPECT_EQ(c.jsonType, 1);
    EXPECT_EQ(*c.json, "[{\n\t\t\"A\":\t1\n\t}]");
    c = convert_query("GetFoo", "A=1", false);
    EXPECT_EQ(*c.json, "{\n\t\"A\":\t1\n}");
}

TEST(QueryTyping, ObjectShapeRules) {
    // all digits: numbers, except the RTSP credentials
    expectNumber("SetRtspServerParameter", "Port=554", "Port", 554);
    expectString("SetRtspServerParameter", "AuthPassword=1234", "AuthPassword", "1234");
    expectString("SetRtspServerParameter", "AuthUsername=007", "AuthUsername", "007");
    expectString("SetRtspServerParameter", "AuthRealmName=1", "AuthRealmName", "1");
    expectNumber("GetRtsp", "AuthPassword=1234", "AuthPassword", 1234);
    // Index / Channel with a leading "-1"
    expectNumber("SetVideoOutputDisplayParameter", "Index=-1", "Index", -1);
    expectNumber("GetX", "Channel=-1abc", "Channel", -1);
    expectNumber("GetX", "Channel=-12", "Channel", -12);
    expectString("SetVideoOutputDisplayParameter", "Index=-2", "Index", "-2");
    expectString("GetX", "Other=-1", "Other", "-1");
    // colours
    expectString("SetVideoOutputDisplayParameter", "BackgroundColor=%23FF8000", "BackgroundColor",
                 "#FF8000");
    expectString("SetVideoOutputDisplayParameter", "WindowBorderColor=%23000000",
                 "WindowBorderColor", "#000000");
    expectString("SetVideoOutputDisplayParameter", "AudioOutputWindowBorderColor=abcd",
                 "AudioOutputWindowBorderColor", "#d");
    expectString("SetVideoOutputDisplayParameter", "BackgroundColor=red", "BackgroundColor", "red");
    expectString("GetX", "BackgroundColor=%23FF8000", "BackgroundColor", "%23FF8000");
    // "%00" is nothing special in an object
    expectString("GetX", "Content=%00", "Content", "%00");
    expectString("GetX", "Name=a+b%20c", "Name", "a+b%20c");
}

TEST(QueryTyping, ArrayShapeRules) {
    expectString("SetVideoEncodeOSDParameters", "Content=123&Size=24", "Content", "123");
    expectNumber("SetVideoEncodeOSDParameters", "Content=123&Size=24", "Size", 24);
    expectString("SetVideoEncodeOSDParameters", "Content=%00", "Content", "");
    expectNumber("SetVideoEncodeOSDParameters", "Size=%00", "Size", 0);
    expectString("SetVideoEncodeOSDParameters", "Size=%000", "Size", "%000");
    // the string table
    for (const char* k : {"Minute", "Hour", "Day", "Month", "Weekday"})
        expectString("SetCrontabParameters", std::string(k) + "=05", k, "05");
    for (const char* k : {"SSID", "SecurityKey", "AccessPointSSID", "AccessPointSecurityKey"})
        expectString("SetNetworkWIFIParameters", std::string(k) + "=12345678", k, "12345678");
    for (const char* k : {"URL", "Alias", "AuthUsername", "AuthPassword"})
        expectString("SetStreamingInputParameters", std::string(k) + "=1", k, "1");
    expectNumber("SetStreamingInputParameters", "Port=8554", "Port", 8554);
    expectNumber("SetCrontabParameters", "Enable=1", "Enable", 1);
    // signed members
    expectNumber("SetVideoOutputSourceParameters", "CacheTime=-5", "CacheTime", -5);
    expectNumber("SetAudioOutputParameters", "SourceIndex=-1", "SourceIndex", -1);
    expectNumber("SetVideoOutputInterfaceParameters", "UserDefinedScreenSplitModeIndex=-3",
                 "UserDefinedScreenSplitModeIndex", -3);
    expectNumber("SetAudioOutputParameters", "SourceIndex=abc", "SourceIndex", 0);
    expectString("GetAudioOutputParameters", "SourceIndex=-1", "SourceIndex", "-1");
    expectString("SetAudioOutputParameters", "Volume=-1", "Volume", "-1");
    // the Index rule belongs to the object shape only
    expectString("SetVideoOutputSourceParameters", "Index=-1", "Index", "-1");
    // colours
    expectString("SetVideoEncodeOSDParameters", "ForeColor=%23FFFFFF", "ForeColor", "#FFFFFF");
    expectString("SetWatermarkOSDParameters", "BackColor=%23000000", "BackColor", "#000000");
    expectString("SetWatermarkOSDParameters", "BackColor=abc", "BackColor", "abc");
    expectString("SetVideoOutputSourceParameters", "ForeColor=%23FFFFFF", "ForeColor", "%23FFFFFF");
}

TEST(QueryTyping, NumbersSaturateAtThe32BitLimits) {
    expectNumber("GetX", "A=2147483647", "A", INT_MAX);
    expectNumber("GetX", "A=2147483648", "A", INT_MAX);
    expectNumber("GetX", "A=99999999999999999999999", "A", INT_MAX);
    expectNumber("GetX", "Index=-199999999999", "Index", INT_MIN);
    expectNumber("GetX", "A=000", "A", 0);
    EXPECT_EQ(dispatch::query_int_value(""), 0);
    EXPECT_EQ(dispatch::query_int_value("-2147483648"), INT_MIN);
    EXPECT_EQ(dispatch::query_int_value("-2147483649"), INT_MIN);
}

TEST(QueryForm, InvalidSegments) {
    EXPECT_EQ(convert_query("GetX", "a=1&", false).status, QueryStatus::MissingEquals);
    EXPECT_EQ(convert_query("GetX", "a", false).status, QueryStatus::MissingEquals);
    EXPECT_EQ(convert_query("GetX", "", false).status, QueryStatus::MissingEquals);
    EXPECT_EQ(convert_query("GetX", "a=1&b", false).status, QueryStatus::MissingEquals);
    EXPECT_EQ(convert_query("GetX", "x=", false).status, QueryStatus::EmptyKeyOrValue);
    EXPECT_EQ(convert_query("GetX", "=5", false).status, QueryStatus::EmptyKeyOrValue);
    EXPECT_EQ(convert_query("GetX", "x=&y=1", false).status, QueryStatus::EmptyKeyOrValue);
    EXPECT_EQ(convert_query("GetX", "sessionid=", false).status, QueryStatus::EmptyKeyOrValue);
    // the form is still checked when a body supplies the JSON
    EXPECT_EQ(convert_query("GetX", "a=1&", true).status, QueryStatus::MissingEquals);
    EXPECT_EQ(convert_query("GetX", "x=", true).status, QueryStatus::EmptyKeyOrValue);
}

TEST(QueryForm, OddButValidSegments) {
    // a doubled '&' makes the next key start with '&'
    expectNumber("GetX", "a=1&&b=2", "&b", 2);
    // the value runs to the next '&' and may hold '='
    expectString("GetX", "a=b=c", "a", "b=c");
    // a key may hold '&'-free odd characters and is taken as it stands
    expectString("GetX", "a%20b=x", "a%20b", "x");
    // duplicate keys are added twice, in query order
    auto c = convert_query("GetX", "A=1&A=x", false);
    ASSERT_EQ(c.status, QueryStatus::Ok);
    EXPECT_EQ(*c.json, "{\n\t\"A\":\t1,\n\t\"A\":\t\"x\"\n}");
}

TEST(QueryCapture, CapturedKeysNeverReachTheJson) {
    auto c = convert_query("SetVideoOutputSourceParameters",
                           "sessionid=abc&username=u&password=p&edidfile=e.bin&fileName=f&Enable=1",
                           false);
    ASSERT_EQ(c.status, QueryStatus::Ok);
    EXPECT_EQ(c.captured.sessionid, "abc");
    EXPECT_EQ(c.captured.username, "u");
    EXPECT_EQ(c.captured.password, "p");
    EXPECT_EQ(c.captured.edidfile, "e.bin");
    EXPECT_EQ(c.captured.fileName, "f");
    EXPECT_EQ(*c.json, "[{\n\t\t\"Enable\":\t1\n\t}]");

    // the last pair of a captured key wins; the names are case-sensitive
    c = convert_query("GetX", "sessionid=1&SessionId=2&sessionid=3", false);
    EXPECT_EQ(c.captured.sessionid, "3");
    EXPECT_EQ(*c.json, "{\n\t\"SessionId\":\t2\n}");

    // only a captured value: an empty object
    c = convert_query("GetX", "sessionid=abc", false);
    EXPECT_EQ(*c.json, "{\n}");
    EXPECT_FALSE(c.captured.username.has_value());
}

TEST(QueryCapture, WithABodyNothingIsBuiltButValuesAreCaptured) {
    auto c = convert_query("SetFooParameters", "sessionid=s1&Enable=1", true);
    ASSERT_EQ(c.status, QueryStatus::Ok);
    EXPECT_FALSE(c.json.has_value());
    EXPECT_EQ(c.captured.sessionid, "s1");
    EXPECT_EQ(c.jsonType, 1);
}
