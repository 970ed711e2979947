#include "dispatch/verify.h"

#include <cstdio>
#include <cstring>

#include "accounts/md5.h"
#include "accounts/throttle.h"
#include "common/diag.h"
#include "common/envelope.h"
#include "ipc/exchange.h"

namespace dispatch {
Verification verifyPassword(const LoginCredentials& cred, const char* matcher_json,
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

PasswordVerifier throttledVerifier(std::string client) {
    return [client = std::move(client)](const LoginCredentials& cred, const char* matcher_json,
                                        char* reason) {
        throttle::Guard& guard = throttle::passwordGuard();
        if (!guard.allowed(client)) {
            Verification refused;
            refused.kind = Verification::Answered;
            refused.pass_validation = 0;
            return refused;
        }
        Verification v = verifyPassword(cred, matcher_json, reason);
        // Only an answer about the password counts; an unreachable application does not.
        if (v.kind == Verification::Answered) guard.note(client, v.pass_validation != 0);
        return v;
    };
}

bool urlCredentialCheck(const std::string& username, const std::string& password,
                        std::string_view client) {
    char digest[64] = {};
    if (isValidMD5(password.c_str()))
        std::snprintf(digest, sizeof digest, "%s", password.c_str());
    else
        digest_text_of(password.c_str(), digest);
    LoginCredentials cred = credentialsFrom(username, digest);
    char reason[128] = {};
    Verification v = throttledVerifier(std::string(client))(cred, nullptr, reason);
    if (v.kind == Verification::Answered && v.pass_validation != 0) return true;
    ERROR_LINE("Invalid username or password\n");
    return false;
}

}  // namespace dispatch
