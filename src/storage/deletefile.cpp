#include "storage/deletefile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "common/diag.h"
#include "common/envelope.h"
#include "common/json_params.h"
#include "common/paths.h"
#include "storage/cardpath.h"

// The handler's error lines name the command's handler, whichever entry
// point (device paths or given paths) ran it.
#define HANDLER_ERROR(...) ERROR_LINE_AS("actionSetStorageDelectFile", __VA_ARGS__)

namespace storage {
namespace {

std::string joinPath(const std::string& dir, const std::string& name) {
    std::string path(dir);
    path += '/';
    path += name;
    return path;
}

bool hasDotDotComponent(std::string_view name) {
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

bool isDirectoryEntry(DIR* d, const struct dirent* ent) {
    if (ent->d_type != DT_UNKNOWN) return ent->d_type == DT_DIR;
    struct stat st {};
    return fstatat(dirfd(d), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// deletionNameAllowed with the card root's canonical form (`root`, none when
// it cannot be resolved) worked out by the caller, once for all names.
bool nameAllowedBelow(const std::string& card_root, const std::optional<std::string>& root,
                      const std::string& name) {
    if (name.empty() || name.size() > kMaxDeleteNameChars) return false;
    if (name.front() == '/' || hasDotDotComponent(name)) return false;
    if (!root) return false;

    const std::string path = joinPath(card_root, name);
    if (const std::optional<std::string> real = resolvedPath(path)) {
        return pathWithin(*real, *root, false);
    }
    // Nothing resolves at the path (missing, or a dangling link): judge the
    // folder that would hold it.
    std::string_view rel(name);
    while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
    const std::size_t slash = rel.rfind('/');
    const std::string parent =
        slash == std::string_view::npos ? card_root : joinPath(card_root, std::string(rel.substr(0, slash)));
    if (const std::optional<std::string> real_parent = resolvedPath(parent)) {
        return pathWithin(*real_parent, *root, true);
    }
    // No folder to hold it either: allowed only when nothing is there.
    struct stat st {};
    return lstat(path.c_str(), &st) != 0;
}

}  // namespace

int getStorageFileParamFromJSON(const char* text, StorageDeleteRequest& request) {
    RequestReader in(__func__);
    if (const int rc = in.open(text, true, "Invalid params!\n")) return rc;
    if (!in.integer("mode", request.mode)) return -2;
    const cJSON* files = cJSON_GetObjectItemCaseSensitive(in.root(), "file");
    if (!cJSON_IsArray(files)) {
        ERROR_LINE(" array is empty or error value type \n");
        return -2;
    }
    request.names.clear();
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, files) {
        if (request.names.size() >= kMaxDeleteNames) break;
        request.names.emplace_back(cJSON_IsString(item) ? item->valuestring : "");
    }
    return 0;
}

bool deletionNameAllowed(const std::string& card_root, const std::string& name) {
    return nameAllowedBelow(card_root, resolvedPath(card_root), name);
}

int DEVSDK_Rm_Dir(const std::string& path) {
    if (DirPtr d{opendir(path.c_str())}) {
        while (const struct dirent* ent = readdir(d.get())) {
            if (isDirectoryEntry(d.get(), ent)) continue;
            const std::string entry = joinPath(path, ent->d_name);
            if (unlink(entry.c_str()) != 0) ERROR_LINE("remove file failure! path:%s\n", entry.c_str());
        }
    }
    if (rmdir(path.c_str()) != 0) {
        ERROR_LINE("remove dir failure! path:%s\n", path.c_str());
        return -1;
    }
    return 0;
}

int DEVSDK_Delect_StorageFile(const StorageDeleteRequest& request, const std::string& card_root) {
    if (request.mode != 0 && request.mode != 1) {
        ERROR_LINE("Invalid params!\n");
        return -2;
    }
    struct stat st {};
    if (stat(card_root.c_str(), &st) != 0) {
        ERROR_LINE("fail NO DIR! : %s\n", card_root.c_str());
        return -2;
    }
    // Every name is judged before anything is removed.
    const std::optional<std::string> real_root = resolvedPath(card_root);
    for (const std::string& name : request.names) {
        if (name.empty() || nameAllowedBelow(card_root, real_root, name)) continue;
        ERROR_LINE("refused name off the card:%s\n", name.c_str());
        return -1;
    }

    for (std::size_t i = 0; i < kMaxDeleteNames; ++i) {
        const std::string* name = i < request.names.size() ? &request.names[i] : nullptr;
        if (!name || name->empty()) {
            diag::out("remove file succeed!  len:%d", static_cast<int>(i));
            return 0;
        }
        const std::string path = joinPath(card_root, *name);
        if (lstat(path.c_str(), &st) != 0) continue;
        if (request.mode == 1) {
            if (unlink(path.c_str()) != 0) ERROR_LINE("remove file failure! path:%s\n", path.c_str());
            continue;
        }
        if (DEVSDK_Rm_Dir(path) != 0) {
            ERROR_LINE("remove dir failure! path:%s\n", path.c_str());
            return -1;
        }
    }
    return 0;
}

int deleteStorageFiles(const char* in_json, JsonReply& out, const char* card_root, const char* marker) {
    if (!cardMounted(marker)) {
        HANDLER_ERROR(" Storage device not mounted: %d", 0);
        formatFailCallJSON(out, "storage device not mount");
        return -1;
    }
    StorageDeleteRequest request;
    const int read = getStorageFileParamFromJSON(in_json, request);
    if (read != 0) {
        HANDLER_ERROR("Invalid input params return: %d", read);
        formatFailCallJSON(out, "Invalid input params");
        return -1;
    }
    const int ret = DEVSDK_Delect_StorageFile(request, card_root ? card_root : "");
    if (ret != 0) {
        HANDLER_ERROR("Delect file fail! return: %d", ret);
        formatFailCallJSON(out, "set delect storage fil fail");
        return ret;
    }
    formatSuccessCallJSON(out, "Successfully to set params");
    return 0;
}

}  // namespace storage

int actionSetStorageDelectFile(const char* in_json, JsonReply& out) {
    return storage::deleteStorageFiles(in_json, out, paths::kSdRoot, paths::kSdMarker);
}
