#include "common/json.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace json {
namespace {
std::optional<std::string> take(char* text) {
    if (!text) return std::nullopt;
    std::string s(text);
    cJSON_free(text);
    return s;
}
}  // namespace

std::optional<std::string> printFormatted(const cJSON* item) {
    return item ? take(cJSON_Print(item)) : std::nullopt;
}

std::optional<std::string> printCompact(const cJSON* item) {
    return item ? take(cJSON_PrintUnformatted(item)) : std::nullopt;
}

JsonPtr parse(const char* text) {
    if (!text) return nullptr;
    return JsonPtr(cJSON_Parse(text));
}

int typeCode(const cJSON* item) {
    return item ? (item->type & 0xFF) : -1;
}

bool isNumberOrTrue(const cJSON* item) {
    return item && (cJSON_IsNumber(item) || cJSON_IsTrue(item));
}

int intValue(const cJSON* item) {
    if (!item) return 0;
    if (cJSON_IsTrue(item)) return 1;
    return item->valueint;
}

}  // namespace json

namespace json {

void appendString(std::string& out, const char* s) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    if (s) {
        const char* run = s;  // bytes copied as they are, in one append
        for (; *s; ++s) {
            const unsigned char c = static_cast<unsigned char>(*s);
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            out.append(run, static_cast<std::size_t>(s - run));
            run = s + 1;
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            }
        }
        out.append(run, static_cast<std::size_t>(s - run));
    }
    out += '"';
}

void appendNumber(std::string& out, double d) {
    if (std::isnan(d) || std::isinf(d)) {
        out += "null";
        return;
    }
    char buf[32];
    // cJSON keeps a saturated int beside the double and prints it when equal.
    const int saturated = d >= INT_MAX                         ? INT_MAX
                          : d <= static_cast<double>(INT_MIN) ? INT_MIN
                                                              : static_cast<int>(d);
    int n;
    if (d == static_cast<double>(saturated)) {
        n = std::snprintf(buf, sizeof buf, "%d", saturated);
    } else {
        n = std::snprintf(buf, sizeof buf, "%1.15g", d);
        if (std::strtod(buf, nullptr) != d) n = std::snprintf(buf, sizeof buf, "%1.17g", d);
    }
    out.append(buf, static_cast<std::size_t>(n));
}

std::string& ObjectWriter::key_(const char* key) {
    if (members_++) out_ += formatted_ ? ",\n" : ",";
    if (formatted_) out_ += '\t';
    appendString(out_, key);
    out_ += formatted_ ? ":\t" : ":";
    return out_;
}

ObjectWriter& ObjectWriter::nested(const char* key, std::string_view printed) {
    std::string& out = key_(key);
    for (std::size_t nl; (nl = printed.find('\n')) != std::string_view::npos;) {
        out.append(printed.substr(0, nl + 1));
        if (formatted_) out += '\t';
        printed.remove_prefix(nl + 1);
    }
    out.append(printed);
    return *this;
}

}  // namespace json
