// Feeds one input, as text, to every request reader of the login, logout, user parameter and language commands. The
// readers only parse; nothing here touches a file or the session table.
#include <cstdint>
#include <cstring>
#include <string>

#include "accounts/users.h"
#include "actions/language.h"
#include "actions/login.h"
#include "actions/userparam.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // adds the NUL
    const char* t = text.c_str();
    auto check = [](bool ok) { if (!ok) __builtin_trap(); };
    LoginCredentials cred;
    std::memset(&cred, 0xAB, sizeof cred);
    int timeout = 0, flag = 0;
    JsonReply out;
    if (getLoginParamFromJSON(t, &cred, &timeout) == 0)  // fields terminated, time-out positive
        check(std::memchr(cred.username, '\0', sizeof cred.username) && timeout >= 1 &&
              std::memchr(cred.password, '\0', sizeof cred.password) && formatLoginMsgParamJSON(out, &cred) == 0 &&
              out);
    getLoginParamFromJSON_msg(t, &flag);
    for (int n : {1, 8, 37, 128}) {
        char id[128];
        std::memset(id, 0xCD, sizeof id);
        check(getSessionidParamFromJSON(t, id, n) != 0 || std::memchr(id, '\0', static_cast<std::size_t>(n)));
    }
    UserRecord table[kUserCount] = {};
    int operation = 0;
    if (getUserParamsFromJSON(t, &table[0], &operation) == 0)
        check(table[0].name[63] == '\0' && table[0].password[63] == '\0' && table[0].name[0] && table[0].password[0] &&
              formatUserParamJSON(out, table) == 0 && out);
    LanguageRecord lang{};
    if (getLanguageFormatFromJSON(t, &lang) == 0)
        check((!std::strcmp(lang.language, "chinese") || !std::strcmp(lang.language, "english")) &&
              formatLanguageParamJSON(out, &lang) == 0 && out);
    return 0;
}
