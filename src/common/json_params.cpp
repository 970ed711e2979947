#include "common/json_params.h"

#include "common/diag.h"

int RequestReader::open(const char* text, bool outputs_given, const char* invalid) {
    if (!text || !outputs_given) {
        ERROR_LINE_AS(operation_, "%s", invalid);
        return -2;
    }
    root_ = json::parse(text);
    if (!root_) {
        ERROR_LINE_AS(operation_, "json pack into cjson error...\n");
        return -15;
    }
    return 0;
}

bool RequestReader::refuse(const char* key, const cJSON* found) const {
    ERROR_LINE_AS(operation_, "%s is empty or error value type : %d\n", key, json::typeCode(found));
    return false;
}

bool RequestReader::text(const char* key, const char*& value, Text rule) const {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root_.get(), key);
    if (!cJSON_IsString(item) || !item->valuestring ||
        (rule == Text::NotEmpty && item->valuestring[0] == '\0'))
        return refuse(key, item);
    value = item->valuestring;
    return true;
}

bool RequestReader::integer(const char* key, int& value) const {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root_.get(), key);
    if (!json::isNumberOrTrue(item)) return refuse(key, item);
    value = json::intValue(item);
    return true;
}

namespace reply {

int invalidInput(const char* operation) {
    ERROR_LINE_AS(operation, "Invalid input params!\n");
    return -2;
}

int outOfMemory(const char* operation) {
    ERROR_LINE_AS(operation, "Out of memory!\n");
    return -15;
}

int print(const char* operation, const cJSON* item, JsonReply& out) {
    out = json::printFormatted(item);
    return out ? 0 : outOfMemory(operation);
}

}  // namespace reply
