#include "dispatch/verify.h"

#include <cstdio>
#include <cstring>

#include "accounts/md5.h"
#include "accounts/throttle.h"
#include "common/diag.h"
#include "common/envelope.h"
#include "ipc/exchange.h"

namespace dispatch {
namespace {

constexpr int kUrlLoginTimeout = 1800;

}  // namespace

LoginCredentials credentials_from(const std::string& username, const std::string& password) {
    LoginCredentials c{};
    std::snprintf(c.username, sizeof c.username, "%s", username.c_str());
    std::snprintf(c.password, sizeof c.password, "%s", password.c_str());
    return c;
}

Verification verify_password(const LoginCredentials& cred, const char* matcher_json,
                             char* reason) {
    const char* command = "VerifyPassword";
    int socket = -1;
    int index = -1;
    char receiver[32] = {};
    // Without a protocol row the socket stays -1 and the exchange fails.
    http_protocol_matching(command, &socket, receiver, &index, matcher_json);

    Verification v;
    JsonReply request;
    int built = formatLoginMsgParamJSON(request, &cred);
    if (built != 0 || !request) {
        v.kind = Verification::RequestNotBuilt;
        v.code = built != 0 ? built : -15;  // built "successfully" without text: out of memory
        http_msg_socket_close(index);
        return v;
    }
    JsonReply reply;
    int r = http_send_and_recv_app_codec(command, reason, request->c_str(), reply, socket, receiver);
    http_msg_socket_close(index);
    if (r != 0) {
        v.kind = Verification::ExchangeFailed;
        v.code = r;
        return v;
    }
    int pass = 0;
    if (!reply || getLoginParamFromJSON_msg(reply->c_str(), &pass) != 0) {
        v.kind = Verification::ReplyUnreadable;
        return v;
    }
    v.kind = Verification::Answered;
    v.pass_validation = pass;
    return v;
}

bool url_credential_check(const std::string& username, const std::string& password,
                          std::string_view client) {
    throttle::Guard& guard = throttle::passwordGuard();
    if (!guard.allowed(client)) return false;
    char digest[64] = {};
    if (isValidMD5(password.c_str()))
        std::snprintf(digest, sizeof digest, "%s", password.c_str());
    else
        digest_text_of(password.c_str(), digest);
    LoginCredentials cred = credentials_from(username, digest);
    char reason[128] = {};
    Verification v = verify_password(cred, nullptr, reason);
    // Only an answer about the password counts; an unreachable application does not.
    if (v.kind == Verification::Answered) guard.note(client, v.pass_validation != 0);
    if (v.kind == Verification::Answered && v.pass_validation != 0) return true;
    ERROR_LINE("Invalid username or password\n");
    return false;
}

LoginOutcome run_login(const QueryCapture& q, bool url_credentials, const std::string& in_json,
                       char* reason, std::string_view client) {
    LoginOutcome o;
    LoginCredentials cred{};
    int timeout = kUrlLoginTimeout;
    if (url_credentials) {
        cred = credentials_from(*q.username, *q.password);
    } else {
        int r = getLoginParamFromJSON(in_json.c_str(), &cred, &timeout);
        if (r != 0) {
            ERROR_LINE("Invalid input params\n");
            formatFailCallJSON(o.out_json, "Invalid input params");
            o.code = r;
            o.refresh_session = false;
            return o;
        }
    }

    // An address in its back-off window gets the wrong-password answer at
    // once; the application is not asked.
    throttle::Guard& guard = throttle::passwordGuard();
    if (!guard.allowed(client)) {
        formatFailCallJSON(o.out_json, "Invalid username or password");
        o.code = -1;
        return o;
    }
    Verification v = verify_password(cred, in_json.c_str(), reason);
    if (v.kind == Verification::Answered) guard.note(client, v.pass_validation != 0);
    switch (v.kind) {
        case Verification::RequestNotBuilt:
            ERROR_LINE("Format Language fail  return : %d\n", v.code);
            o.code = v.code;
            o.refresh_session = false;
            return o;
        case Verification::ExchangeFailed:
            o.code = v.code;
            o.refresh_session = false;
            return o;
        case Verification::ReplyUnreadable:
            formatFailCallJSON(o.out_json, "Invalid username or password");
            ERROR_LINE("Invalid username or password\n");
            o.code = -1;
            o.refresh_session = false;
            return o;
        case Verification::Answered:
            break;
    }
    if (v.pass_validation == 0) {
        formatFailCallJSON(o.out_json, "Invalid username or password");
        o.code = -1;
        return o;  // full finish: a captured session is refreshed
    }
    o.code = actionLogin(cred, timeout, o.out_json);
    return o;
}

}  // namespace dispatch
