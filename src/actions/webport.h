// The web server's port: parameter file, get/set/probe commands.
#pragma once

#include "common/json.h"

int getPortFormatFromJSON(const char* text, int* port);
int formatPortParamJSON(JsonReply& out, int port);
// Reads (creating the default {"Port": 80}) the parameter file; on success
// stores the port in *port. A stored port outside 1..65535 is not offered.
int actionGetPortParam(const char* body, JsonReply& out, int* port);
// Stores a port of 1..65535 and puts it into *port; others are refused.
int actionSetPortParam(const char* body, JsonReply& out, int* port);
// "Port available" / "http port in use" / "Failed to get params".
int actionGetPortStatus(const char* body, JsonReply& out);

// The same two actions on another parameter file (tests, tools).
int actionGetPortParamAt(const char* file, const char* body, JsonReply& out, int* port);
int actionSetPortParamAt(const char* file, const char* body, JsonReply& out, int* port);
