#include "actions/localtime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

// Nothing here may move the clock: every set request below either fails
// its checks or asks for the current time, which leaves the clock alone.

namespace {

struct Fields {
    int sec = 0, min = 0, hour = 0, mday = 1, mon = 0, year = 126, wday = 0;
};

std::string body(const Fields& f) {
    return "{\"tm_sec\":" + std::to_string(f.sec) + ",\"tm_min\":" + std::to_string(f.min) +
           ",\"tm_hour\":" + std::to_string(f.hour) + ",\"tm_mday\":" + std::to_string(f.mday) +
           ",\"tm_mon\":" + std::to_string(f.mon) + ",\"tm_year\":" + std::to_string(f.year) +
           ",\"tm_wday\":" + std::to_string(f.wday) + "}";
}

std::string reason(const JsonReply& out) {
    JsonPtr j = json::parse(out ? out->c_str() : nullptr);
    const cJSON* r = cJSON_GetObjectItemCaseSensitive(j.get(), "Reason");
    return cJSON_IsString(r) ? r->valuestring : "<none>";
}

class LocalTime : public ::testing::Test {
protected:
    // A zone without daylight saving: the current time maps back to itself.
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_) setenv("TZ", saved_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> saved_;
};

}  // namespace

TEST_F(LocalTime, ReaderTakesEveryFieldInItsRange) {
    struct tm t {};
    Fields f{59, 59, 23, 31, 11, 300, 6};
    ASSERT_EQ(getRtcParamFromJSON(body(f).c_str(), &t), 0);
    EXPECT_EQ(t.tm_sec, 59);
    EXPECT_EQ(t.tm_min, 59);
    EXPECT_EQ(t.tm_hour, 23);
    EXPECT_EQ(t.tm_mday, 31);
    EXPECT_EQ(t.tm_mon, 11);
    EXPECT_EQ(t.tm_year, 300);  // the year is the action's to check
    EXPECT_EQ(t.tm_wday, 6);

    ASSERT_EQ(getRtcParamFromJSON(
                  R"({"tm_sec":true,"tm_min":0,"tm_hour":0,"tm_mday":true,"tm_mon":0,"tm_year":-5,"tm_wday":0})", &t),
              0);
    EXPECT_EQ(t.tm_sec, 1);
    EXPECT_EQ(t.tm_mday, 1);
    EXPECT_EQ(t.tm_year, -5);
}

TEST_F(LocalTime, ReaderRefusals) {
    struct tm t {};
    const Fields ok;
    auto with = [&](auto change) {
        Fields f = ok;
        change(f);
        return getRtcParamFromJSON(body(f).c_str(), &t);
    };
    EXPECT_EQ(with([](Fields& f) { f.sec = 60; }), -2);
    EXPECT_EQ(with([](Fields& f) { f.sec = -1; }), -2);
    EXPECT_EQ(with([](Fields& f) { f.min = 60; }), -2);
    EXPECT_EQ(with([](Fields& f) { f.hour = 24; }), -2);
    EXPECT_EQ(with([](Fields& f) { f.mday = 0; }), -2);
    EXPECT_EQ(with([](Fields& f) { f.mday = 32; }), -2);
    EXPECT_EQ(with([](Fields& f) { f.mon = 12; }), -2);
    EXPECT_EQ(with([](Fields& f) { f.wday = 7; }), -2);
    EXPECT_EQ(with([](Fields& f) { f.wday = -1; }), -2);

    for (const char* key : {"tm_sec", "tm_min", "tm_hour", "tm_mday", "tm_mon", "tm_year", "tm_wday"}) {
        JsonPtr j = json::parse(body(ok).c_str());
        cJSON_DeleteItemFromObjectCaseSensitive(j.get(), key);
        const std::string missing = *json::printCompact(j.get());
        EXPECT_EQ(getRtcParamFromJSON(missing.c_str(), &t), -2) << key;
        cJSON_AddStringToObject(j.get(), key, "1");
        const std::string text = *json::printCompact(j.get());
        EXPECT_EQ(getRtcParamFromJSON(text.c_str(), &t), -2) << key;
        cJSON_DeleteItemFromObjectCaseSensitive(j.get(), key);
        cJSON_AddFalseToObject(j.get(), key);
        const std::string falsy = *json::printCompact(j.get());
        EXPECT_EQ(getRtcParamFromJSON(falsy.c_str(), &t), -2) << key;
    }
    EXPECT_EQ(getRtcParamFromJSON("not json", &t), -15);
    EXPECT_EQ(getRtcParamFromJSON(nullptr, &t), -2);
    EXPECT_EQ(getRtcParamFromJSON("{}", nullptr), -2);
}

TEST_F(LocalTime, SetRefusesBeforeTouchingTheClock) {
    JsonReply out;
    EXPECT_EQ(actionsetDeviceLocalTime("{", out), -1);
    EXPECT_EQ(reason(out), "Invalid input params");
    Fields f;
    f.mon = 12;
    EXPECT_EQ(actionsetDeviceLocalTime(body(f).c_str(), out), -1);
    EXPECT_EQ(reason(out), "Invalid input params");
    for (int year : {70, 170, -1}) {
        f = Fields{};
        f.year = year;
        EXPECT_EQ(actionsetDeviceLocalTime(body(f).c_str(), out), -2) << year;
        EXPECT_EQ(reason(out), "set rtc fail") << year;
    }
}

TEST_F(LocalTime, SetWithinTwoSecondsLeavesTheClock) {
    const time_t now = time(nullptr);
    struct tm t {};
    gmtime_r(&now, &t);
    ASSERT_GE(t.tm_year, 71);
    ASSERT_LE(t.tm_year, 169);
    const Fields f{t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday};
    JsonReply out;
    EXPECT_EQ(actionsetDeviceLocalTime(body(f).c_str(), out), 0);
    EXPECT_EQ(reason(out), "Successfully to set params");
}

TEST_F(LocalTime, GetAnswersTheLocalTimeText) {
    JsonReply out;
    const time_t before = time(nullptr);
    ASSERT_EQ(actiongetDeviceLocalTime(nullptr, out), 0);
    const time_t after = time(nullptr);
    EXPECT_EQ(reason(out), "Successfully to get params");
    JsonPtr j = json::parse(out->c_str());
    const cJSON* text = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(j.get(), "Parameters"),
                                                         "local_time");
    ASSERT_TRUE(cJSON_IsString(text));
    const std::string s = text->valuestring;
    ASSERT_TRUE(std::regex_match(s, std::regex(R"(\d{4}/\d{2}/\d{2}_\d{2}:\d{2}:\d{2})"))) << s;
    struct tm t {};
    ASSERT_TRUE(strptime(s.c_str(), "%Y/%m/%d_%H:%M:%S", &t));
    const time_t shown = timegm(&t);
    EXPECT_GE(shown, before);
    EXPECT_LE(shown, after);

    JsonReply params;
    EXPECT_EQ(formatDeviceTimeParamJSON(params, "2026/03/07_09:05:00"), 0);
    EXPECT_EQ(*params, "{\n\t\"local_time\":\t\"2026/03/07_09:05:00\"\n}");
    EXPECT_EQ(formatDeviceTimeParamJSON(params, nullptr), -2);
}
