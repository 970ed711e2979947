// Device clock: read as local time text, set from struct tm fields.
#pragma once

#include <ctime>

#include "common/json.h"

int getRtcParamFromJSON(const char* text, struct tm* tm);
int formatDeviceTimeParamJSON(JsonReply& out, const char* time_text);
int actiongetDeviceLocalTime(const char* body, JsonReply& out);
int actionsetDeviceLocalTime(const char* body, JsonReply& out);
