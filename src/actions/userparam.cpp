#include "actions/userparam.h"

#include <cstring>
#include <string>

#include "common/diag.h"
#include "common/envelope.h"

namespace {

// Copies a required non-empty string member into a 64-byte field, cut to 63.
bool readTextField(const cJSON* root, const char* key, char (&field)[64]) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, key);
    if (!cJSON_IsString(item) || !item->valuestring || item->valuestring[0] == '\0') {
        ERROR_LINE("%s is empty or error value type : %d\n", key, json::typeCode(item));
        return false;
    }
    std::memset(field, 0, sizeof field);
    std::memcpy(field, item->valuestring, strnlen(item->valuestring, sizeof field - 1));
    return true;
}

std::string fieldText(const char (&field)[64]) {
    return std::string(field, strnlen(field, sizeof field));
}

}  // namespace

int getUserParamsFromJSON(const char* text, UserRecord* record, int* operation) {
    if (!text || !record || !operation) {
        ERROR_LINE("Invalid params!\n");
        return -2;
    }
    JsonPtr root = json::parse(text);
    if (!root) {
        ERROR_LINE("json pack into cjson error...\n");
        return -15;
    }
    const cJSON* op = cJSON_GetObjectItemCaseSensitive(root.get(), "operation");
    if (!json::isNumberOrTrue(op)) {
        ERROR_LINE("%s is empty or error value type : %d\n", "operation", json::typeCode(op));
        return -2;
    }
    *operation = json::intValue(op);
    if (!readTextField(root.get(), "user_name", record->name)) return -2;
    if (!readTextField(root.get(), "password", record->password)) return -2;
    return 0;
}

int formatUserParamJSON(JsonReply& out, const UserRecord* table) {
    if (!table) {
        ERROR_LINE("Invalid input params!\n");
        return -2;
    }
    JsonPtr array(cJSON_CreateArray());
    if (!array) {
        ERROR_LINE("Out of memory!\n");
        return -15;
    }
    for (int i = 0; i < kUserCount && table[i].name[0] != '\0'; ++i) {
        cJSON* user = cJSON_CreateObject();
        if (!user) {
            ERROR_LINE("Out of memory!\n");
            return -15;
        }
        cJSON_AddItemToArray(array.get(), user);
        if (!cJSON_AddStringToObject(user, "user_name", fieldText(table[i].name).c_str()) ||
            !cJSON_AddStringToObject(user, "password", fieldText(table[i].password).c_str())) {
            ERROR_LINE("Out of memory!\n");
            return -15;
        }
    }
    out = json::printFormatted(array.get());
    if (!out) {
        ERROR_LINE("Out of memory!\n");
        return -15;
    }
    return 0;
}

int actionSetUserParam(const char* body, JsonReply& out) {
    UserRecord record{};
    int operation = 0;
    if (getUserParamsFromJSON(body, &record, &operation) != 0) {
        formatFailCallJSON(out, "Invalid input params");
        return -1;
    }
    const int rc = HTTP_Set_UsermgntConfig(operation, &record);
    if (rc != 0) {
        ERROR_LINE("set User administration param fail! return : %d\n", rc);
        formatFailCallJSON(out, "set User params fail");
        return rc;
    }
    formatSuccessCallJSON(out, "Successfully to set params");
    return 0;
}

int actionGetUserParam(const char* /*body*/, JsonReply& out) {
    UserRecord table[kUserCount] = {};
    int rc = HTTP_Get_UsermgntConfig(table);
    if (rc != 0) {
        ERROR_LINE("get User Param  fail  return : %d\n", rc);
        formatFailCallJSON(out, "get User params fail");
        return -1;
    }
    JsonReply list;
    rc = formatUserParamJSON(list, table);
    if (rc != 0 || !list) {
        ERROR_LINE("Format User params fail  return : %d\n", rc);
        formatFailCallJSON(out, "get User params fail");
        return rc != 0 ? rc : -15;
    }
    formatParamsJSON(out, "Successfully to get params", std::move(*list));
    return 0;
}
