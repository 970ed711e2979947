#include "actions/login.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "accounts/sessions.h"
#include "accounts/users.h"
#include "common/diag.h"
#include "common/envelope.h"
#include "common/json_params.h"

namespace {

constexpr int kDefaultTimeout = 1800;
constexpr std::size_t kCredentialMax = sizeof(LoginCredentials::username) - 1;  // 63

const cJSON* member(const cJSON* obj, const char* key) {
    return cJSON_GetObjectItemCaseSensitive(obj, key);
}

// A text field of at most 63 characters; a longer one is refused rather than
// cut, so that a login never checks a password other than the one sent.
bool fitsCredentialField(const char* text, const char* key) {
    if (std::strlen(text) <= kCredentialMax) return true;
    ERROR_LINE("%s is longer than %zu characters\n", key, kCredentialMax);
    return false;
}

}  // namespace

int getLoginParamFromJSON(const char* text, LoginCredentials* cred, int* timeout) {
    RequestReader in(__func__);
    if (const int rc = in.open(text, cred && timeout, "Invalid params\n")) return rc;
    const char* user = nullptr;
    const char* pass = nullptr;
    int value = 0;
    if (!in.text("username", user) || !in.text("password", pass) || !in.integer("timeout", value)) return -2;
    if (!fitsCredentialField(user, "username") || !fitsCredentialField(pass, "password")) return -2;

    std::memset(cred, 0, sizeof *cred);
    std::memcpy(cred->username, user, std::strlen(user));
    std::memcpy(cred->password, pass, std::strlen(pass));
    *timeout = value < 1 ? kDefaultTimeout : value;
    return 0;
}

int getLoginParamFromJSON_msg(const char* text, int* pass_validation) {
    RequestReader in(__func__);
    if (const int rc = in.open(text, pass_validation != nullptr, "Invalid params\n")) return rc;
    const char* result = nullptr;
    if (!in.text("Result", result)) return -2;
    if (std::strcmp(result, "OK") != 0) {
        ERROR_LINE(" Result is empty or error value type \n");
        return -2;
    }
    const cJSON* params = member(in.root(), "Parameters");
    if (!cJSON_IsObject(params)) {
        ERROR_LINE(" object is empty or error value type \n");
        return -2;
    }
    const cJSON* flag = member(params, "PassValidation");
    if (!json::isNumberOrTrue(flag)) {
        ERROR_LINE("%s is empty or error value type : %d\n", "PassValidation", json::typeCode(flag));
        return -2;
    }
    *pass_validation = json::intValue(flag);
    return 0;
}

int getSessionidParamFromJSON(const char* text, char* buf, int size) {
    RequestReader in(__func__);
    if (const int rc = in.open(text, buf && size > 0, "Invalid params\n")) return rc;
    const char* id = nullptr;
    if (!in.text("sessionid", id)) return -2;
    const std::size_t n = strnlen(id, static_cast<std::size_t>(size) - 1);
    std::memcpy(buf, id, n);
    buf[n] = '\0';
    return 0;
}

int formatLoginMsgParamJSON(JsonReply& out, const LoginCredentials* cred) {
    if (!cred) return reply::invalidInput(__func__);
    JsonPtr obj(cJSON_CreateObject());
    const std::string user(record_field_text(cred->username));
    const std::string pass(record_field_text(cred->password));
    if (!obj || !cJSON_AddStringToObject(obj.get(), "UserName", user.c_str()) ||
        !cJSON_AddStringToObject(obj.get(), "Password", pass.c_str()) ||
        !cJSON_AddNumberToObject(obj.get(), "MD5Password", 1))
        return reply::outOfMemory(__func__);
    return reply::print(__func__, obj.get(), out);
}

int actionLogin(const LoginCredentials& cred, int timeout, JsonReply& out) {
    const std::string user(record_field_text(cred.username));
    const char* id = nullptr;
    if (add_new_session(user.c_str(), timeout, &id) != 0 || !id) {
        ERROR_LINE("More than the maximum number of clients\n");
        formatFailCallJSON(out, "More than the maximum number of clients");
        return -16;
    }
    const std::string sessionId = id;  // the table owns `id`

    JsonPtr obj(cJSON_CreateObject());
    if (obj && cJSON_AddStringToObject(obj.get(), "Result", "OK") &&
        cJSON_AddStringToObject(obj.get(), "Reason", "user login successfully") &&
        cJSON_AddStringToObject(obj.get(), "sessionid", sessionId.c_str())) {
        out = json::printFormatted(obj.get());
    }
    if (!out) {
        // The client never learns the id, so the session must not stay open.
        delete_session_by_id(sessionId.c_str());
        ERROR_LINE("Out of memory!\n");
        return -15;
    }
    return 0;
}

int actionLogOut(const char* body, JsonReply& out) {
    char id[128] = {};
    if (getSessionidParamFromJSON(body, id, sizeof id) != 0) {
        ERROR_LINE("Invalid input params\n");
        formatFailCallJSON(out, "Invalid input params");
        return -1;
    }
    if (delete_session_by_id(id) < 0) {
        formatFailCallJSON(out, "Invalid session id");
        return -1;
    }
    formatSuccessCallJSON(out, "Successfully to set params");
    return 0;
}

int check_user_pass_valid(const char* user, const char* digest) {
    if (!user || !digest) {
        ERROR_LINE("failure username and password input...\n");
        return 0;
    }
    UserRecord table[kUserCount] = {};
    const int rc = HTTP_Get_UsermgntConfig(table);
    if (rc != 0) {
        ERROR_LINE("get User params fail!  return : %d\n", rc);
        return 0;
    }
    // A free record (both fields empty) never matches, whatever is asked.
    if (user[0] != '\0' || digest[0] != '\0') {
        for (const auto& r : table) {
            if (record_field_text(r.name) == user && record_field_text(r.password) == digest)
                return 1;
        }
    }
    ERROR_LINE("login < UserName and password is false>\n");
    return 0;
}

LoginCredentials credentialsFrom(const std::string& username, const std::string& password) {
    LoginCredentials c{};
    std::snprintf(c.username, sizeof c.username, "%s", username.c_str());
    std::snprintf(c.password, sizeof c.password, "%s", password.c_str());
    return c;
}

CommandResult runLogin(const std::string* url_user, const std::string* url_password,
                        const std::string& in_json, const PasswordVerifier& verify) {
    constexpr int kUrlLoginTimeout = 1800;
    CommandResult o;
    LoginCredentials cred{};
    int timeout = kUrlLoginTimeout;
    if (url_user && url_password) {
        cred = credentialsFrom(*url_user, *url_password);
    } else {
        int r = getLoginParamFromJSON(in_json.c_str(), &cred, &timeout);
        if (r != 0) {
            ERROR_LINE("Invalid input params\n");
            formatFailCallJSON(o.reply, "Invalid input params");
            o.code = r;
            o.refreshSession = false;
            return o;
        }
    }

    char reason[128] = {};
    Verification v = verify(cred, in_json.c_str(), reason);
    o.refreshSession = false;
    switch (v.kind) {
        case Verification::RequestNotBuilt:
            ERROR_LINE("Format Language fail  return : %d\n", v.code);
            o.code = v.code;
            return o;
        case Verification::ExchangeFailed:
            o.code = v.code;
            o.reason = reason;
            return o;
        case Verification::ReplyUnreadable:
            formatFailCallJSON(o.reply, "Invalid username or password");
            ERROR_LINE("Invalid username or password\n");
            o.code = -1;
            return o;
        case Verification::Answered:
            break;
    }
    o.refreshSession = true;  // full finish: a captured session is refreshed
    if (v.pass_validation == 0) {
        formatFailCallJSON(o.reply, "Invalid username or password");
        o.code = -1;
        return o;
    }
    o.code = actionLogin(cred, timeout, o.reply);
    return o;
}
