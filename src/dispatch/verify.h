// Password verification with the device application that owns
// "VerifyPassword", the URL credential check built on it, and the login
// command's hand-off to actionLogin.
#pragma once

#include <string>
#include <string_view>

#include "actions/login.h"
#include "common/json.h"
#include "dispatch/query.h"

namespace dispatch {

// How one verification exchange ended.
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

// Asks "VerifyPassword" about the credentials. `matcher_json` is handed
// to the protocol look-up (null for the URL check). `reason` (128 bytes)
// receives the exchange's failure text.
Verification verify_password(const LoginCredentials& cred, const char* matcher_json,
                             char* reason);

// The credentials block from URL values: each cut to 63 characters.
LoginCredentials credentials_from(const std::string& username, const std::string& password);

// The URL credential check: the password is sent as digest text (hashed
// here unless it already is one). True when the application confirms it.
// `client` is the address whose guessing is slowed down (accounts/throttle).
bool url_credential_check(const std::string& username, const std::string& password,
                          std::string_view client);

// The result of the login command inside the dispatcher's common section.
struct LoginOutcome {
    JsonReply out_json;
    int code = 0;
    bool refresh_session = true;  // false: the short finish
};

// "login": credentials from the URL (already checked, time-out 1800) or
// from the body; verification; then actionLogin.
LoginOutcome run_login(const QueryCapture& q, bool url_credentials, const std::string& in_json,
                       char* reason, std::string_view client);

}  // namespace dispatch
