// SD card listing ("get_video_directory").
#pragma once

#include <string>

#include "common/json.h"
#include "storage/dirlist.h"

int actiongetVideoDirectory(const char* in_json, JsonReply& out);

namespace storage {

// Reads "dir" (string), "tagfiles" (string, required, unused) and "grade"
// (number or true). 0; -2 null text or missing/mistyped key; -15 not JSON.
int getStrageDirFormatFromJSON(const char* text, std::string& dir, int& grade);

// The "Parameters" array of a listing: grade 0 shows the subdirectory nodes
// with their names; any other grade the head's files first, then one object
// per subdirectory with an empty name. 0; -2 null list; -15 out of memory.
int formatVideoDirParamJSON(JsonReply& text, const NetsdkLink* link, int grade);

// actiongetVideoDirectory with the card root and its marker file given.
// "dir" must resolve to the card root or below it.
int listVideoDirectory(const char* in_json, JsonReply& out, const char* card_root, const char* marker);

}  // namespace storage
