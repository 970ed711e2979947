#include "actions/localtime.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>

#include "common/diag.h"
#include "common/envelope.h"
#include "common/json_params.h"

namespace {

// One request field of struct tm: its key, where it goes, the largest
// value the reader accepts (compared as unsigned, so negatives fail) and the
// error line of a value out of range (null: not checked by the reader).
struct RtcField {
    const char* key;
    int tm::*member;
    unsigned max;
    const char* rangeMessage;
};

// Read in this order; the year is checked by the action only.
constexpr RtcField kRtcFields[] = {
    {"tm_sec", &tm::tm_sec, 59, "Invalid params ! <sec>\n"},
    {"tm_min", &tm::tm_min, 59, "Invalid params! <min>\n"},
    {"tm_hour", &tm::tm_hour, 23, "Invalid params! <hour>\n"},
    {"tm_mday", &tm::tm_mday, 30, "Invalid params! <mday>\n"},  // day - 1
    {"tm_mon", &tm::tm_mon, 11, "Invalid params! <mon>\n"},
    {"tm_year", &tm::tm_year, 0, nullptr},
    {"tm_wday", &tm::tm_wday, 6, "Invalid params! <wday>\n"},
};

bool rtcFieldsInRange(const struct tm& t) {
    return static_cast<unsigned>(t.tm_sec) <= 59 && static_cast<unsigned>(t.tm_min) <= 59 &&
           static_cast<unsigned>(t.tm_hour) <= 23 && static_cast<unsigned>(t.tm_mday) >= 1 &&
           static_cast<unsigned>(t.tm_mday) <= 31 && static_cast<unsigned>(t.tm_mon) <= 11 &&
           static_cast<unsigned>(t.tm_wday) <= 6 && static_cast<unsigned>(t.tm_year) >= 71 &&
           static_cast<unsigned>(t.tm_year) <= 169;
}

}  // namespace

int getRtcParamFromJSON(const char* text, struct tm* tm) {
    RequestReader in(__func__);
    if (const int rc = in.open(text, tm != nullptr, "Invalid params!\n")) return rc;
    for (const RtcField& field : kRtcFields) {
        int value = 0;
        if (!in.integer(field.key, value)) return -2;
        if (field.rangeMessage) {
            const unsigned checked =
                field.member == &tm::tm_mday ? static_cast<unsigned>(value) - 1U : static_cast<unsigned>(value);
            if (checked > field.max) {
                ERROR_LINE("%s", field.rangeMessage);
                return -2;
            }
        }
        tm->*field.member = value;
    }
    return 0;
}

int formatDeviceTimeParamJSON(JsonReply& out, const char* time_text) {
    if (!time_text) return reply::invalidInput(__func__);
    JsonPtr obj(cJSON_CreateObject());
    if (!obj) return reply::outOfMemory(__func__);
    cJSON_AddStringToObject(obj.get(), "local_time", time_text);
    out = json::printFormatted(obj.get());
    return 0;
}

int actiongetDeviceLocalTime(const char* /*body*/, JsonReply& out) {
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d_%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    JsonReply params;
    const int ret = formatDeviceTimeParamJSON(params, text);
    if (ret != 0 || !params) {
        ERROR_LINE("Format time fail  return : %d\n", ret);
        formatFailCallJSON(out, "get device local time fail");
        return ret;
    }
    formatParamsJSON(out, "Successfully to get params", std::move(*params));
    return 0;
}

namespace {

// The checked fields as local time, the daylight-saving flag left to the
// C library; the clock moves only when it is more than 2 s away.
int http_Set_LocalTime(struct tm& t) {
    if (!rtcFieldsInRange(t)) {
        ERROR_LINE("parma is invailed:\n");
        diag::out("sec=%d,min=%d,hour=%d\n", t.tm_sec, t.tm_min, t.tm_hour);
        diag::out("day=%d,mon=%d,year=%d;tm_wday=%d\n", t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday);
        return -2;
    }
    t.tm_isdst = -1;
    const time_t wanted = mktime(&t);
    const time_t now = time(nullptr);
    if (std::llabs(static_cast<long long>(wanted) - static_cast<long long>(now)) <= 2) return 0;
    struct timeval tv {};
    tv.tv_sec = wanted;
    tv.tv_usec = 0;
    return settimeofday(&tv, nullptr);
}

}  // namespace

int actionsetDeviceLocalTime(const char* body, JsonReply& out) {
    struct tm t {};
    if (getRtcParamFromJSON(body, &t) != 0) {
        formatFailCallJSON(out, "Invalid input params");
        return -1;
    }
    const int ret = http_Set_LocalTime(t);
    if (ret != 0) {
        ERROR_LINE("set rtc fail! return : %d\n", ret);
        formatFailCallJSON(out, "set rtc fail");
        return ret;
    }
    formatSuccessCallJSON(out, "Successfully to set params");
    return 0;
}
