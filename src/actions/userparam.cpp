#include "actions/userparam.h"

#include <string>

#include "common/diag.h"
#include "common/envelope.h"
#include "common/json_params.h"
#include "common/utf8.h"

int getUserParamsFromJSON(const char* text, UserRecord* record, int* operation) {
    RequestReader in(__func__);
    if (const int rc = in.open(text, record && operation, "Invalid params!\n")) return rc;
    if (!in.integer("operation", *operation)) return -2;
    const char* name = nullptr;
    if (!in.text("user_name", name, RequestReader::Text::NotEmpty)) return -2;
    set_record_field(record->name, name);
    // Names are listed back inside JSON answers, which must stay valid UTF-8
    // (also where a long name was cut to its 63 bytes).
    if (!utf8::valid(record_field_text(record->name))) {
        ERROR_LINE("%s is not valid UTF-8\n", "user_name");
        return -2;
    }
    const char* password = nullptr;
    if (!in.text("password", password, RequestReader::Text::NotEmpty)) return -2;
    set_record_field(record->password, password);
    return 0;
}

int formatUserParamJSON(JsonReply& out, const UserRecord* table) {
    if (!table) return reply::invalidInput(__func__);
    JsonPtr array(cJSON_CreateArray());
    if (!array) return reply::outOfMemory(__func__);
    for (int i = 0; i < kUserCount && table[i].name[0] != '\0'; ++i) {
        cJSON* user = cJSON_CreateObject();
        if (!user) return reply::outOfMemory(__func__);
        cJSON_AddItemToArray(array.get(), user);
        const std::string name(record_field_text(table[i].name));
        const std::string password(record_field_text(table[i].password));
        if (!cJSON_AddStringToObject(user, "user_name", name.c_str()) ||
            !cJSON_AddStringToObject(user, "password", password.c_str()))
            return reply::outOfMemory(__func__);
    }
    return reply::print(__func__, array.get(), out);
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
