#include "actions/language.h"

#include <cstring>
#include <string>

#include "common/diag.h"
#include "common/envelope.h"
#include "common/json_params.h"
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
    RequestReader in(__func__);
    if (const int rc = in.open(text, record != nullptr, "Invalid params!\n")) return rc;
    const char* language = nullptr;
    if (!in.text("language", language, RequestReader::Text::NotEmpty)) return -2;
    if (std::strcmp(language, "chinese") != 0 && std::strcmp(language, "english") != 0) {
        ERROR_LINE("Invalid params!\n");
        return -2;
    }
    copyText(record->page, kLoginPage);
    int mode = 0;
    if (!in.integer("mode", mode)) return -2;
    copyText(record->language, language);
    record->mode = mode;
    return 0;
}

int formatLanguageParamJSON(JsonReply& out, const LanguageRecord* record) {
    if (!record) return reply::invalidInput(__func__);
    JsonPtr obj(cJSON_CreateObject());
    const std::string language(record->language, strnlen(record->language, sizeof record->language));
    if (!obj || !cJSON_AddStringToObject(obj.get(), "language", language.c_str()) ||
        !cJSON_AddNumberToObject(obj.get(), "mode", record->mode))
        return reply::outOfMemory(__func__);
    return reply::print(__func__, obj.get(), out);
}

int actionSetLanguageFormat(const char* body, JsonReply& out) {
    LanguageRecord record{};
    if (getLanguageFormatFromJSON(body, &record) != 0) {
        formatFailCallJSON(out, "set language params fail");
        return -1;
    }
    // The command needs no login and every write wears the flash: a record
    // that already holds these bytes is left alone.
    LanguageRecord stored{};
    if (http_get_cfgfile(paths::kLanguageFile, &stored, sizeof stored) == 0 &&
        std::memcmp(&stored, &record, sizeof record) == 0) {
        formatSuccessCallJSON(out, "Successfully to set params");
        return 0;
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
