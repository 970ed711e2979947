// Login and logout: request readers, the login answer, the local check of
// a user name and digest text against the user store.
#pragma once

#include <functional>
#include <string>

#include "common/envelope.h"
#include "common/json.h"

struct LoginCredentials {
    char username[64];
    char password[64];
};

int getLoginParamFromJSON(const char* text, LoginCredentials* cred, int* timeout);
int getLoginParamFromJSON_msg(const char* text, int* pass_validation);
int getSessionidParamFromJSON(const char* text, char* buf, int size);

// {"UserName","Password","MD5Password":1} for the VerifyPassword request.
int formatLoginMsgParamJSON(JsonReply& out, const LoginCredentials* cred);

int actionLogin(const LoginCredentials& cred, int timeout, JsonReply& out);
int actionLogOut(const char* body, JsonReply& out);

// 1 when a user record has exactly this name and password text, else 0.
int check_user_pass_valid(const char* user, const char* digest);

// How one password verification with the device application ended.
struct Verification {
    enum Kind {
        RequestNotBuilt,   // formatLoginMsgParamJSON failed (code) or gave no text (-15)
        ExchangeFailed,    // code and reason from the exchange
        ReplyUnreadable,   // getLoginParamFromJSON_msg refused the reply
        Answered,          // pass_validation holds the application's verdict
    } kind = RequestNotBuilt;
    int code = 0;
    int pass_validation = 0;
};

// Asks the application owning "VerifyPassword" about the credentials;
// `matcher_json` is what the protocol look-up is given, `reason` (128
// bytes) receives the exchange's failure text.
using PasswordVerifier =
    std::function<Verification(const LoginCredentials& cred, const char* matcher_json, char* reason)>;

// The credentials block from URL values: each cut to 63 characters.
LoginCredentials credentialsFrom(const std::string& username, const std::string& password);

// "login": credentials from the URL (already checked there, time-out 1800)
// or from the body; verification; then actionLogin.
CommandResult runLogin(const std::string* url_user, const std::string* url_password,
                        const std::string& in_json, const PasswordVerifier& verify);
