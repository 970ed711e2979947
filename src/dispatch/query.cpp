#include "dispatch/query.h"

#include <climits>
#include <cstdlib>

#include "common/json.h"

namespace dispatch {
namespace {

bool allDigits(const std::string& v) {
    for (char c : v)
        if (c < '0' || c > '9') return false;
    return true;  // the empty text counts as all digits
}

template <std::size_t N>
bool oneOf(std::string_view s, const std::string_view (&list)[N]) {
    for (auto& e : list)
        if (s == e) return true;
    return false;
}

// A browser sends #RRGGBB as %23RRGGBB: drop "%2" and turn the '3' into '#'.
std::string colourRewrite(const std::string& v) {
    if (v.size() <= 3) return v;
    std::string r = v.substr(2);
    r[0] = '#';
    return r;
}

// Members that stay strings although all digits (array-shaped commands).
bool keepsDigitsAsString(std::string_view action, std::string_view key) {
    static const std::string_view osd[] = {"Content"};
    static const std::string_view cron[] = {"Minute", "Hour", "Day", "Month", "Weekday"};
    static const std::string_view wifi[] = {"SSID", "SecurityKey", "AccessPointSSID",
                                            "AccessPointSecurityKey"};
    static const std::string_view stream[] = {"URL", "Alias", "AuthUsername", "AuthPassword"};
    if (action == "SetVideoEncodeOSDParameters") return oneOf(key, osd);
    if (action == "SetCrontabParameters") return oneOf(key, cron);
    if (action == "SetNetworkWIFIParameters") return oneOf(key, wifi);
    if (action == "SetStreamingInputParameters") return oneOf(key, stream);
    return false;
}

// Members read as numbers even when not all digits (negative values).
bool signedNumberMember(std::string_view action, std::string_view key) {
    return (action == "SetVideoOutputSourceParameters" && key == "CacheTime") ||
           (action == "SetAudioOutputParameters" && key == "SourceIndex") ||
           (action == "SetVideoOutputInterfaceParameters" &&
            key == "UserDefinedScreenSplitModeIndex");
}

void addNumber(cJSON* obj, const std::string& key, const std::string& value) {
    cJSON_AddItemToObject(obj, key.c_str(), cJSON_CreateNumber(query_int_value(value)));
}

void addString(cJSON* obj, const std::string& key, const std::string& value) {
    cJSON_AddItemToObject(obj, key.c_str(), cJSON_CreateString(value.c_str()));
}

void addObjectMember(cJSON* obj, std::string_view action, const std::string& key,
                     const std::string& value) {
    static const std::string_view rtspKeys[] = {"AuthUsername", "AuthPassword", "AuthRealmName"};
    static const std::string_view colourKeys[] = {"BackgroundColor", "WindowBorderColor",
                                                  "AudioOutputWindowBorderColor"};
    if (allDigits(value)) {
        if (action == "SetRtspServerParameter" && oneOf(key, rtspKeys))
            addString(obj, key, value);
        else
            addNumber(obj, key, value);
    } else if ((key == "Index" || key == "Channel") && value.compare(0, 2, "-1") == 0) {
        addNumber(obj, key, value);
    } else if (action == "SetVideoOutputDisplayParameter" && oneOf(key, colourKeys)) {
        addString(obj, key, colourRewrite(value));
    } else {
        addString(obj, key, value);
    }
}

void addArrayMember(cJSON* obj, std::string_view action, const std::string& key,
                    std::string value) {
    static const std::string_view colourKeys[] = {"ForeColor", "BackColor"};
    if (value == "%00") value.clear();
    if (allDigits(value)) {
        if (keepsDigitsAsString(action, key))
            addString(obj, key, value);
        else
            addNumber(obj, key, value);
    } else if (signedNumberMember(action, key)) {
        addNumber(obj, key, value);
    } else if ((action == "SetVideoEncodeOSDParameters" ||
                action == "SetWatermarkOSDParameters") &&
               oneOf(key, colourKeys)) {
        addString(obj, key, colourRewrite(value));
    } else {
        addString(obj, key, value);
    }
}

bool capture(QueryCapture& c, const std::string& key, const std::string& value) {
    std::optional<std::string>* slot = nullptr;
    if (key == "sessionid") slot = &c.sessionid;
    else if (key == "username") slot = &c.username;
    else if (key == "password") slot = &c.password;
    else if (key == "edidfile") slot = &c.edidfile;
    else if (key == "fileName") slot = &c.fileName;
    if (!slot) return false;
    *slot = value;
    return true;
}

}  // namespace

int json_shape(std::string_view name) {
    return (!name.empty() && name.front() == 'S' && name.back() == 's') ? 1 : 0;
}

int query_int_value(const std::string& text) {
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

QueryConversion convert_query(std::string_view action, std::string_view query, bool body_present) {
    QueryConversion r;
    r.jsonType = json_shape(action);

    JsonPtr container;
    cJSON* target = nullptr;  // the object members go into
    if (!body_present) {
        if (r.jsonType == 0) {
            container.reset(cJSON_CreateObject());
            target = container.get();
        } else {
            container.reset(cJSON_CreateArray());
            if (container) {
                target = cJSON_CreateObject();
                if (target) cJSON_AddItemToArray(container.get(), target);
            }
        }
    }

    std::size_t pos = 0;
    for (;;) {
        const std::size_t eq = query.find('=', pos);
        if (eq == std::string_view::npos) {
            r.status = QueryStatus::MissingEquals;
            return r;
        }
        const std::size_t amp = query.find('&', eq + 1);
        const bool last = amp == std::string_view::npos;
        const std::size_t end = last ? query.size() : amp;
        std::string key(query.substr(pos, eq - pos));
        std::string value(query.substr(eq + 1, end - eq - 1));
        if (key.empty() || value.empty()) {
            r.status = QueryStatus::EmptyKeyOrValue;
            return r;
        }
        if (!capture(r.captured, key, value) && target) {
            if (r.jsonType == 0)
                addObjectMember(target, action, key, value);
            else
                addArrayMember(target, action, key, std::move(value));
        }
        if (last) break;
        pos = amp + 1;
    }

    if (container) r.json = json::printFormatted(container.get());
    return r;
}

}  // namespace dispatch
