// Feeds one input, as text, to every request reader of the login, logout,
// user parameter and language commands. The readers only parse; nothing
// here touches a file or the session table.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "accounts/users.h"
#include "actions/language.h"
#include "actions/login.h"
#include "actions/userparam.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // adds the NUL
    const char* t = text.c_str();

    LoginCredentials cred;
    std::memset(&cred, 0xAB, sizeof cred);
    int timeout = 0;
    if (getLoginParamFromJSON(t, &cred, &timeout) == 0) {
        // Both fields must come out terminated and the time-out positive.
        if (!std::memchr(cred.username, '\0', sizeof cred.username) ||
            !std::memchr(cred.password, '\0', sizeof cred.password) || timeout < 1)
            __builtin_trap();
        JsonReply request;
        if (formatLoginMsgParamJSON(request, &cred) != 0 || !request) __builtin_trap();
    }

    int flag = 0;
    getLoginParamFromJSON_msg(t, &flag);

    for (int size_ : {1, 8, 37, 128}) {
        char id[128];
        std::memset(id, 0xCD, sizeof id);
        if (getSessionidParamFromJSON(t, id, size_) == 0 && !std::memchr(id, '\0', static_cast<std::size_t>(size_)))
            __builtin_trap();
    }

    UserRecord record{};
    int operation = 0;
    if (getUserParamsFromJSON(t, &record, &operation) == 0) {
        if (record.name[63] != '\0' || record.password[63] != '\0' || record.name[0] == '\0' ||
            record.password[0] == '\0')
            __builtin_trap();
        UserRecord table[kUserCount] = {};
        table[0] = record;
        JsonReply list;
        if (formatUserParamJSON(list, table) != 0 || !list) __builtin_trap();
    }

    LanguageRecord language{};
    if (getLanguageFormatFromJSON(t, &language) == 0) {
        if (std::strcmp(language.language, "chinese") != 0 && std::strcmp(language.language, "english") != 0)
            __builtin_trap();
        JsonReply params;
        if (formatLanguageParamJSON(params, &language) != 0 || !params) __builtin_trap();
    }
    return 0;
}
