#include "actions/language.h"

#include <cstring>
#include <string>

#include "common/diag.h"
#include "common/envelope.h"
#include "common/paths.h"
#include "config/cfgfile.h"

namespace {
constexpr const char* kLoginPage = "login.html";

void copyText(char (&field)[128], const char* text) {
    std::memset(field, 0, sizeof field);
    std::strncpy(field, text, sizeof field - 1);
}
}  // namespace

int getLanguageFormatFromJSON(const char* text, LanguageRecord* record) {
    if (!text || !record) {
        ERROR_LINE("Invalid params!\n");
        return -2;
    }
    JsonPtr root = json::parse(text);
    if (!root) {
        ERROR_LINE("json pack into cjson error...\n");
        return -15;
    }
    const cJSON* language = cJSON_GetObjectItemCaseSensitive(root.get(), "language");
    if (!cJSON_IsString(language) || !language->valuestring || language->valuestring[0] == '\0') {
        ERROR_LINE("%s is empty or error value type : %d\n", "language", json::typeCode(language));
        return -2;
    }
    if (std::strcmp(language->valuestring, "chinese") != 0 &&
        std::strcmp(language->valuestring, "english") != 0) {
        ERROR_LINE("Invalid params!\n");
        return -2;
    }
    copyText(record->page, kLoginPage);
    const cJSON* mode = cJSON_GetObjectItemCaseSensitive(root.get(), "mode");
    if (!json::isNumberOrTrue(mode)) {
        ERROR_LINE("%s is empty or error value type : %d\n", "mode", json::typeCode(mode));
        return -2;
    }
    copyText(record->language, language->valuestring);
    record->mode = json::intValue(mode);
    return 0;
}

int formatLanguageParamJSON(JsonReply& out, const LanguageRecord* record) {
    if (!record) {
        ERROR_LINE("Invalid input params!\n");
        return -2;
    }
    JsonPtr obj(cJSON_CreateObject());
    if (!obj) {
        ERROR_LINE("Out of memory!\n");
        return -15;
    }
    const std::string language(record->language, strnlen(record->language, sizeof record->language));
    if (!cJSON_AddStringToObject(obj.get(), "language", language.c_str()) ||
        !cJSON_AddNumberToObject(obj.get(), "mode", record->mode)) {
        ERROR_LINE("Out of memory!\n");
        return -15;
    }
    out = json::printFormatted(obj.get());
    if (!out) {
        ERROR_LINE("Out of memory!\n");
        return -15;
    }
    return 0;
}

int actionSetLanguageFormat(const char* body, JsonReply& out) {
    LanguageRecord record{};
    if (getLanguageFormatFromJSON(body, &record) != 0) {
        formatFailCallJSON(out, "set language params fail");
        return -1;
    }
    if (http_set_cfgfile(paths::kLanguageFile, &record, sizeof record) != 0) {
        ERROR_LINE("Set Language Format Fail!\n");
        formatFailCallJSON(out, "set language params fail");
        return -1;
    }
    formatSuccessCallJSON(out, "Successfully to set params");
    return 0;
}

int actionGetLanguageFormat(const char* /*body*/, JsonReply& out) {
    LanguageRecord record{};
    int rc = http_get_cfgfile(paths::kLanguageFile, &record, sizeof record);
    if (rc != 0) {
        ERROR_LINE("GetLanguage Format Fail! return : %d\n", rc);
        formatFailCallJSON(out, "get language params fail");
        return rc;
    }
    JsonReply params;
    rc = formatLanguageParamJSON(params, &record);
    if (rc != 0 || !params) {
        ERROR_LINE("Format Language fail  return : %d\n", rc);
        formatFailCallJSON(out, "get language params fail");
        return rc != 0 ? rc : -15;
    }
    formatParamsJSON(out, "Successfully to get params", std::move(*params));
    return 0;
}
