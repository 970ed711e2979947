// Response writers: each writes the one HTTP 200 answer of a request.
#pragma once

#include <string>

#include "common/envelope.h"
#include "web/web.h"

void http_response(web::Request& wp, const std::string& text);
void json_perror(web::Request& wp, int code, const char* reason);
void json_OK(web::Request& wp);
// A command's result as its answer (see CommandResult).
void answer(web::Request& wp, const CommandResult& result);
