#include "dispatch/writers.h"

#include "common/diag.h"

void http_response(web::Request& wp, const std::string& text) {
    wp.respond(200, "application/json", text);
}

void json_perror(web::Request& wp, int code, const char* reason) {
    http_response(wp, envelope::errorResponse(code, reason));
}

void json_OK(web::Request& wp) {
    // The same text for every success without a reason: built once.
    static const std::string ok = envelope::okResponse();
    http_response(wp, ok);
}

void answer(web::Request& wp, const CommandResult& result) {
    if (result.reply) {
        DEBUG_LINE("out_json=\n%s\n", result.reply->c_str());
        http_response(wp, *result.reply);
    } else if (result.code != 0) {
        json_perror(wp, result.code, result.reason.c_str());
    } else if (!result.reason.empty()) {
        http_response(wp, envelope::okWithReason(result.reason.c_str()));
    } else {
        json_OK(wp);
    }
}
