#include "common/json.h"

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
