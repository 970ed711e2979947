// The one action handler behind every /action/device/ URL.
#pragma once

#include "dispatch/query.h"
#include "web/web.h"

void actionGetMethodUrl(web::Request& wp);

// The session gate: 0 when `id` names a live session (mode "set" refreshes
// it); otherwise writes the -16 refusal ("Session ID is empty" for a null
// id, "Invalid session ID") and returns -1.
int check_session_id_valid(web::Request& wp, const char* id, const char* mode);

// The gate of the upload and EDID commands: user name and password from
// the URL checked against the user store (the password as digest text),
// else the session gate with mode "set". True when the request may go on;
// false after the refusal has been written.
bool credential_gate(web::Request& wp, const dispatch::QueryCapture& q);

// Longest URL and action name taken; longer ones are refused as "Invalid URL".
inline constexpr std::size_t kMaxUrlLength = 8192;
inline constexpr std::size_t kMaxActionNameLength = 127;
