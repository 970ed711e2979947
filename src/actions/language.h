// Interface language record (260 bytes) and its two commands.
#pragma once

#include <cstdint>

#include "common/json.h"

struct LanguageRecord {
    char language[128];
    std::int32_t mode;
    char page[128];
};
static_assert(sizeof(LanguageRecord) == 260);

int getLanguageFormatFromJSON(const char* text, LanguageRecord* record);
int formatLanguageParamJSON(JsonReply& out, const LanguageRecord* record);
int actionSetLanguageFormat(const char* body, JsonReply& out);
int actionGetLanguageFormat(const char* body, JsonReply& out);
