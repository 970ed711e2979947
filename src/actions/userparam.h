// Web user listing and changes through commands.
#pragma once

#include "accounts/users.h"
#include "common/json.h"

int getUserParamsFromJSON(const char* text, UserRecord* record, int* operation);
int formatUserParamJSON(JsonReply& out, const UserRecord* table);
int actionSetUserParam(const char* body, JsonReply& out);
int actionGetUserParam(const char* body, JsonReply& out);
