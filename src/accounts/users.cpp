#include "accounts/users.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "accounts/md5.h"
#include "common/diag.h"
#include "common/paths.h"
#include "config/cfgfile.h"

namespace {

std::string g_userFile = paths::kUserFile;  // test seam, see set_user_file_path

// Error lines of the helpers below name the store operation that ran them.
constexpr const char* kSetOp = "HTTP_Set_UsermgntConfig";

bool isFree(const UserRecord& r) {
    return r.name[0] == '\0' && r.password[0] == '\0';
}

// The one default table: "admin" with the digest of its default password.
// No other account is ever made with a published password.
void fillDefaultTable(UserRecord* table) {
    std::memset(table, 0, kUserTableSize);
    set_record_field(table[0].name, "admin");
    digest_text_of("qorvu", table[0].password);
}

// A user file that exists but cannot be used as a table is moved aside to
// "<file>.bad" (replacing an older one) before the default takes its place,
// so that the accounts it held can still be recovered by hand.
bool keepUnreadableFile(const char* op) {
    struct stat st {};
    if (lstat(g_userFile.c_str(), &st) != 0) return true;  // nothing to keep
    const std::string bad = g_userFile + ".bad";
    if (std::rename(g_userFile.c_str(), bad.c_str()) != 0) {
        ERROR_LINE_AS(op, "cannot keep the unreadable user file as %s errno=%d(%s)\n", bad.c_str(), errno,
                    std::strerror(errno));
        return false;
    }
    ERROR_LINE_AS(op, "unreadable user file kept as %s, default users written\n", bad.c_str());
    return true;
}

// Reads the table; on failure keeps the old file aside and writes the
// default table. 0 with a table in `table`; -1 when no table could be had.
int readOrReplace(const char* op, UserRecord* table, bool setFailureOnStdout) {
    if (http_get_cfgfile(g_userFile.c_str(), table, kUserTableSize) == 0) return 0;
    ERROR_LINE_AS(op, "DEVSDK_Get_CfgFile: USERMGNT_PARA_FILE failed!\n");
    fillDefaultTable(table);
    if (!keepUnreadableFile(op) ||
        http_set_cfgfile(g_userFile.c_str(), table, kUserTableSize) != 0) {
        if (setFailureOnStdout)
            diag::out("DEVSDK_Set_CfgFile: USERMGNT_PARA_FILE failed!\n");
        else
            ERROR_LINE_AS(op, "DEVSDK_Set_CfgFile: USERMGNT_PARA_FILE failed!\n");
        return -1;
    }
    return 0;
}

int addUser(UserRecord* table, std::string_view name, std::string_view password) {
    for (int i = 0; i < kUserCount; ++i) {
        if (record_field_text(table[i].name) == name) {
            ERROR_LINE_AS(kSetOp, "user is  already existence \n");
            return -1;
        }
        if (isFree(table[i])) {
            if (password.empty()) {
                ERROR_LINE_AS(kSetOp, "new password is empty\n");
                return -1;
            }
            set_record_field(table[i].name, name);
            set_record_field(table[i].password, password);
            return 0;
        }
    }
    ERROR_LINE_AS(kSetOp, "user table is full (%d users)\n", kUserCount);
    return -1;
}

int deleteUser(UserRecord* table, std::string_view name, std::string_view password) {
    if (name == "admin") {
        ERROR_LINE_AS(kSetOp, "username:admin can't delete \n");
        return -1;
    }
    // Every record of that name goes; the others keep their order and move
    // up, so the table stays packed.
    UserRecord kept[kUserCount] = {};
    int n = 0;
    for (int i = 0; i < kUserCount; ++i) {
        if (record_field_text(table[i].name) == name) {
            if (record_field_text(table[i].password) != password) {
                ERROR_LINE_AS(kSetOp, "user password mistake please check\n");
                return -3;
            }
            continue;
        }
        kept[n++] = table[i];
    }
    std::memcpy(table, kept, sizeof kept);
    return 0;
}

int changePassword(UserRecord* table, std::string_view name, std::string_view password) {
    for (int i = 0; i < kUserCount; ++i) {
        if (record_field_text(table[i].name) != name) continue;
        if (table[i].password[0] == '\0') {
            ERROR_LINE_AS(kSetOp, "user password is empty\n");
            return -4;
        }
        if (password.empty()) {
            ERROR_LINE_AS(kSetOp, "new password is empty\n");
            return -1;
        }
        set_record_field(table[i].password, password);
        return 0;
    }
    ERROR_LINE_AS(kSetOp, "user is  not existence \n");
    return -2;
}

}  // namespace

std::string_view record_field_text(const char (&field)[64]) {
    return std::string_view(field, strnlen(field, sizeof field));
}

void set_record_field(char (&field)[64], std::string_view text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

void set_user_file_path(const char* path) {
    g_userFile = path ? path : paths::kUserFile;
}

int HTTP_Get_UsermgntConfig(UserRecord* table) {
    if (!table) return -1;
    return readOrReplace(__func__, table, false);
}

int HTTP_Set_UsermgntConfig(int operation, const UserRecord* record) {
    if (!record) return -1;
    UserRecord table[kUserCount] = {};
    if (HTTP_Get_UsermgntConfig(table) != 0) {
        diag::out("DEVSDK_Get_UsermgntConfig failed\n");
        return -1;
    }
    const std::string_view name = record_field_text(record->name);
    const std::string_view password = record_field_text(record->password);

    int rc = 0;
    switch (operation) {
        case 0: rc = addUser(table, name, password); break;
        case 1: rc = deleteUser(table, name, password); break;
        case 2: rc = changePassword(table, name, password); break;
        default: break;  // unknown code: the table is written back unchanged
    }
    if (rc != 0) return rc;

    if (http_set_cfgfile(g_userFile.c_str(), table, kUserTableSize) != 0) {
        ERROR_LINE("DEVSDK_Set_CfgFile: USERMGNT_PARA_FILE failed!\n");
        return -1;
    }
    return 0;
}

int HTTP_Check_Uservalid(const char* name, const char* password) {
    if (!name || !password) return -1;
    UserRecord table[kUserCount] = {};
    if (readOrReplace(__func__, table, true) != 0) return -1;
    char digest[64];
    digest_text_of(password, digest);
    for (const auto& r : table) {
        if (record_field_text(r.name) == name && record_field_text(r.password) == digest) return 0;
    }
    return -1;
}
