// SD card deletion ("set_storage_deletefile").
#pragma once

#include <string>
#include <vector>

#include "common/json.h"

int actionSetStorageDelectFile(const char* in_json, JsonReply& out);

namespace storage {

// At most this many names are read from one request.
inline constexpr std::size_t kMaxDeleteNames = 4096;
// Longest name accepted for deletion; longer names are refused, never cut.
inline constexpr std::size_t kMaxDeleteNameChars = 63;

struct StorageDeleteRequest {
    int mode = -1;  // 0 folders, 1 files
    // One place per "file" item read; a non-string item leaves its place empty.
    std::vector<std::string> names;
};

// 0; -2 null text, missing/mistyped "mode" or "file"; -15 not JSON.
int getStorageFileParamFromJSON(const char* text, StorageDeleteRequest& request);

// Whether `name` (relative to the card root) is allowed to be removed: not
// absolute, no ".." component, at most 63 characters, and resolving
// (symbolic links included) to something strictly below the card root.
bool deletionNameAllowed(const std::string& card_root, const std::string& name);

// Removes the request's names below `card_root`. 0; -2 bad mode or missing
// root; -1 a refused name (nothing removed) or a folder that stays.
int DEVSDK_Delect_StorageFile(const StorageDeleteRequest& request, const std::string& card_root);

// Removes the folder's non-directory entries, then the folder. 0 or -1.
int DEVSDK_Rm_Dir(const std::string& path);

// actionSetStorageDelectFile with the card root and its marker file given.
int deleteStorageFiles(const char* in_json, JsonReply& out, const char* card_root, const char* marker);

}  // namespace storage
