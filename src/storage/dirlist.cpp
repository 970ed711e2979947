#include "storage/dirlist.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "common/diag.h"
#include "storage/cardpath.h"

namespace storage {

std::unique_ptr<NetsdkLink> NETSDK_CREATE_LINK() {
    std::unique_ptr<NetsdkLink> link(new (std::nothrow) NetsdkLink);
    if (!link) ERROR_LINE("link head malloc fail\n");
    return link;
}

int NETSDK_LINK_INS_HEAD_LINK(NetsdkLink& link, const NetsdkDirNode& node) {
    try {
        link.nodes.push_front(node);
    } catch (const std::bad_alloc&) {
        ERROR_LINE("link newnode malloc fail\n");
        return -1;
    }
    return 0;
}

namespace {

// Fills an entry from a file's status: size, the time of day of its
// status change, and its name.
void fillEntry(const struct stat& st, const char* name, NetsdkFileEntry& entry, const char* record_list) {
    entry.size = static_cast<std::int64_t>(st.st_size);
    struct tm local {};
    time_t changed = st.st_ctime;
    localtime_r(&changed, &local);
    entry.name = name;

    char text[64];
    if (record_list && std::strstr(record_list, entry.name.c_str())) {
        std::snprintf(text, sizeof text, "%02d:%02d:%02d %s", local.tm_hour, local.tm_min, local.tm_sec,
                      "recording...");
    } else {
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    }
    entry.time = text;
}

}  // namespace

int NETSDK_GET_FILE_stat(const char* path, NetsdkFileEntry& entry, const char* record_list) {
    if (!path) {
        ERROR_LINE("Invalid parameter path:%s\n", "(null)");
        return -1;
    }
    struct stat st {};
    if (stat(path, &st) != 0) {
        ERROR_LINE("get file stat:%s\n", path);
        return -1;
    }
    const char* slash = std::strrchr(path, '/');
    if (!slash) ERROR_LINE("parse file name fail:%s\n", path);
    fillEntry(st, slash ? slash + 1 : path, entry, record_list);
    return 0;
}

int NETSDK_LINK_SERCH_DIR(const char* dir, NetsdkLink& link, const char* record_list, int grade) {
    if (!dir) return -1;
    DirPtr d(opendir(dir));
    if (!d) return -1;

    while (const struct dirent* ent = readdir(d.get())) {
        const char* name = ent->d_name;
        if (ent->d_type == DT_DIR) {
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            NetsdkDirNode node;
            node.name = name;
            NETSDK_LINK_INS_HEAD_LINK(link, node);
            continue;
        }
        if (grade == 0) continue;
        if (std::strcmp(name, kRecordListName) == 0) {
            DEBUG_LINE("storage dir file :%s\n", name);
            continue;
        }
        // The place is taken even when the status cannot be read (the file
        // vanished meanwhile): it stays empty and readers skip it. The status
        // is read relative to the open folder, without walking the path again.
        link.head.files.emplace_back();
        struct stat st {};
        if (fstatat(dirfd(d.get()), name, &st, 0) == 0)
            fillEntry(st, name, link.head.files.back(), record_list);
        else
            ERROR_LINE_AS("NETSDK_GET_FILE_stat", "get file stat:%s/%s\n", dir, name);
        if (link.head.files.size() >= kMaxDirFiles) break;
    }
    return 0;
}

}  // namespace storage
