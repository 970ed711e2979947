// Small RAII and reading helpers around cJSON.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <optional>
#include <string>

struct JsonDeleter {
    void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// A reply text handed back by a builder, an action or an exchange
// (absent until one is produced). The receiver writes it and drops it.
using JsonReply = std::optional<std::string>;

namespace json {

// cJSON_Print / cJSON_PrintUnformatted into a std::string; nullopt when
// printing fails (out of memory).
std::optional<std::string> printFormatted(const cJSON* item);
std::optional<std::string> printCompact(const cJSON* item);

// Parses a NUL-terminated text; null when the text is null or not JSON.
JsonPtr parse(const char* text);

// cJSON's type number of an item (1 false, 2 true, 4 null, 8 number,
// 16 string, 32 array, 64 object), -1 for a missing item.
int typeCode(const cJSON* item);

// A numeric key accepts a JSON number or true.
bool isNumberOrTrue(const cJSON* item);
// Integer value of a number (cJSON's saturated valueint) or 1 for true.
int intValue(const cJSON* item);

}  // namespace json
