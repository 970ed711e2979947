// The web server's port: parameter file, get/set/probe commands.
#pragma once

#include "common/json.h"

int getPortFormatFromJSON(const char* text, int* port);
int formatPortParamJSON(JsonReply& out, int port);
// Reads (creating the default {"Port": 80}) the parameter file; on success
// stores the port in *port. A stored port outside 1..65535 is not offered.
int actionGetPortParam(const char* body, JsonReply& out, int* port);
// Stores a port of 1..65535 and puts it into *port; others are refused, and
// so is a new port (one other than *port) that cannot be bound now.
int actionSetPortParam(const char* body, JsonReply& out, int* port);
// "Port available" / "http port in use" / "Failed to get params".
int actionGetPortStatus(const char* body, JsonReply& out);

// The same two actions on another parameter file (tests, tools); this set
// does not try the port first.
int actionGetPortParamAt(const char* file, const char* body, JsonReply& out, int* port);
int actionSetPortParamAt(const char* file, const char* body, JsonReply& out, int* port);

// True when our listener could take `port` now: an IPv4 TCP socket with the
// listener's options binds to it on every address (and is closed again).
bool portCanBeBound(int port);

// Writes {"Port": port} as the parameter file; 0 or -1.
int storeWebPort(int port);
