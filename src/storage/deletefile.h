// SD card deletion ("set_storage_deletefile").
#pragma once

#include "common/json.h"

int actionSetStorageDelectFile(const char* in_json, JsonReply& out);
