// Response writers: each writes the one HTTP 200 answer of a request.
#pragma once

#include <string>

#include "web/web.h"

void http_response(web::Request& wp, const std::string& text);
void json_perror(web::Request& wp, int code, const char* reason);
void json_OK(web::Request& wp);
void json_Upgrade_OK(web::Request& wp, const char* reason);
