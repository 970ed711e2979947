// SD card listing ("get_video_directory").
#pragma once

#include "common/json.h"

int actiongetVideoDirectory(const char* in_json, JsonReply& out);
