// The action behind every /action/device/ URL: query conversion, the
// command table's gate, then the command on the worker thread.
#pragma once

#include "dispatch/query.h"
#include "web/web.h"

namespace dispatch {

// The action the server defines for "device": onRequest dispatches;
// onHead decides the gate of a request announcing a large body before the
// body is read.
web::Action deviceAction();

// Starts and stops the thread the commands run on (the server thread calls
// these around its event loop). Without it, commands run at once on the
// calling thread.
void start();
void stop();

}  // namespace dispatch

// Dispatches one whole request (deviceAction().onRequest).
void actionGetMethodUrl(web::Request& wp);

// The session gate: 0 when `id` names a live session (mode "set" refreshes
// it); otherwise writes the -16 refusal ("Session ID is empty" for a null
// id, "Invalid session ID") and returns -1.
int check_session_id_valid(web::Request& wp, const char* id, const char* mode);

// The gate of the upload and EDID commands: user name and password from
// the URL checked against the user store (the password as digest text),
// else the session gate with mode "set". True when the request may go on;
// false after the refusal has been written.
bool credentialGate(web::Request& wp, const dispatch::QueryCapture& q);

// Longest URL and action name taken; longer ones are refused as "Invalid URL".
inline constexpr std::size_t kMaxUrlLength = 8192;
inline constexpr std::size_t kMaxActionNameLength = 127;
