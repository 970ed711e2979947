#include "storage/videodir.h"

#include "common/diag.h"
#include "common/envelope.h"
#include "common/json_params.h"
#include "common/paths.h"
#include "common/utf8.h"
#include "storage/cardpath.h"

// The listing's error lines name the command's handler, whichever entry
// point (device paths or given paths) ran it.
#define HANDLER_ERROR(...) ERROR_LINE_AS("actiongetVideoDirectory", __VA_ARGS__)

namespace storage {
namespace {

// Adds a member whose key is a string literal, without copying the key.
void addMember(cJSON* object, const char* key, cJSON* item) {
    cJSON_AddItemToObjectCS(object, key, item);
}

cJSON* nodeObject(const char* dir_name) {
    cJSON* obj = cJSON_CreateObject();
    if (!obj) return nullptr;
    addMember(obj, "dir_name", cJSON_CreateString(utf8::repaired(dir_name).c_str()));
    cJSON* files = cJSON_CreateArray();
    if (!files) {
        cJSON_Delete(obj);
        return nullptr;
    }
    addMember(obj, "file_info", files);
    return obj;
}

bool addFiles(cJSON* node_object, const NetsdkDirNode& node) {
    cJSON* files = cJSON_GetObjectItemCaseSensitive(node_object, "file_info");
    for (const NetsdkFileEntry& entry : node.files) {
        if (entry.name.empty()) continue;
        cJSON* file = cJSON_CreateObject();
        if (!file) return false;
        cJSON_AddItemToArray(files, file);
        addMember(file, "size", cJSON_CreateNumber(static_cast<double>(entry.size)));
        addMember(file, "time", cJSON_CreateString(entry.time.c_str()));
        // Names on the card are whatever bytes the recorder or a PC wrote;
        // the answer must be valid UTF-8 all the same.
        addMember(file, "name", cJSON_CreateString(utf8::repaired(entry.name).c_str()));
    }
    return true;
}

}  // namespace

int getStrageDirFormatFromJSON(const char* text, std::string& dir, int& grade) {
    RequestReader in(__func__);
    if (const int rc = in.open(text, true, "Invalid params\n")) return rc;
    const char* dir_text = nullptr;
    const char* tag_text = nullptr;  // required, but has no use
    if (!in.text("dir", dir_text) || !in.text("tagfiles", tag_text)) return -2;
    dir = dir_text;
    if (!in.integer("grade", grade)) return -2;
    return 0;
}

int formatVideoDirParamJSON(JsonReply& text, const NetsdkLink* link, int grade) {
    if (!link) return reply::invalidInput(__func__);
    JsonPtr array(cJSON_CreateArray());
    if (!array) return reply::outOfMemory(__func__);
    if (grade != 0) {
        cJSON* head = nodeObject("");
        if (!head) return reply::outOfMemory(__func__);
        cJSON_AddItemToArray(array.get(), head);
        if (!addFiles(head, link->head)) return reply::outOfMemory(__func__);
    }
    for (const NetsdkDirNode& node : link->nodes) {
        cJSON* obj = nodeObject(grade == 0 ? node.name.c_str() : "");
        if (!obj) return reply::outOfMemory(__func__);
        cJSON_AddItemToArray(array.get(), obj);
        // Subdirectories are not read, so their file lists stay empty.
    }
    text = json::printFormatted(array.get());
    return 0;
}

int listVideoDirectory(const char* in_json, JsonReply& out, const char* card_root, const char* marker) {
    std::string dir;
    int grade = -1;
    if (getStrageDirFormatFromJSON(in_json, dir, grade) != 0) {
        HANDLER_ERROR("Invalid input params\n");
        formatFailCallJSON(out, "Invalid input params");
        return -1;
    }
    if (!cardMounted(marker)) {
        HANDLER_ERROR(" Storage device not mounted: %s", marker ? marker : "(null)");
        formatFailCallJSON(out, "storage device not mount");
        return -1;
    }
    std::unique_ptr<NetsdkLink> link = NETSDK_CREATE_LINK();
    if (!link) {
        HANDLER_ERROR("create link fail \n");
        formatFailCallJSON(out, "storage device not mount");
        return -1;
    }
    // Nothing on this device names the recordings in progress: the list
    // of them is empty.
    DEBUG_LINE("record_file = %s\n", "");

    // Only folders on the card are listed; the scan reads the resolved path
    // that was checked.
    int ret = -1;
    const std::optional<std::string> real_dir = resolvedPath(dir);
    const std::optional<std::string> real_root = resolvedPath(card_root ? card_root : "");
    if (real_dir && real_root && pathWithin(*real_dir, *real_root, true)) {
        ret = NETSDK_LINK_SERCH_DIR(real_dir->c_str(), *link, nullptr, grade);
    }
    if (ret < 0) {
        HANDLER_ERROR("get Storage Param fail  return : %d\n", ret);
        formatFailCallJSON(out, "Failed to get params");
        return ret;
    }

    JsonReply text;
    ret = formatVideoDirParamJSON(text, link.get(), grade);
    link.reset();
    if (ret != 0 || !text) {
        HANDLER_ERROR("get Storage Param fail  return : %d\n", ret);
        formatFailCallJSON(out, "storage device not mount");
        return ret;
    }
    formatParamsJSON(out, "Successfully to get params", std::move(*text));
    return 0;
}

}  // namespace storage

int actiongetVideoDirectory(const char* in_json, JsonReply& out) {
    return storage::listVideoDirectory(in_json, out, paths::kSdRoot, paths::kSdMarker);
}
