#include "server/writers.h"

#include "common/envelope.h"

void http_response(web::Request& wp, const std::string& text) {
    wp.respond(200, "application/json", text);
}

void json_perror(web::Request& wp, int code, const char* reason) {
    http_response(wp, envelope::errorResponse(code, reason));
}

void json_OK(web::Request& wp) {
    http_response(wp, envelope::okResponse());
}

void json_Upgrade_OK(web::Request& wp, const char* reason) {
    http_response(wp, envelope::okWithReason(reason));
}
