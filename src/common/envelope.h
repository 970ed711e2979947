// Result envelopes: the JSON object every /action answer carries.
// Members in order: "Result", "ErrorNo" (error responses), "Reason",
// "Parameters" (parameter envelopes); printed with cJSON_Print.
#pragma once

#include <string>

#include "common/json.h"

// {"Result":"Fail","Reason":reason}; out stays empty when it cannot be built.
void formatFailCallJSON(JsonReply& out, const char* reason);
// {"Result":"OK","Reason":reason}
void formatSuccessCallJSON(JsonReply& out, const char* reason);
// {"Result":"OK","Reason":reason,"Parameters":<parameters_text verbatim>}
// parameters_text must be valid JSON; it is inserted unparsed.
void formatParamsJSON(JsonReply& out, const char* reason, std::string parameters_text);

// What a command hands back for its answer: `reply` when set is sent as it
// is; otherwise code 0 answers {"Result": "OK"} (with "Reason" when `reason`
// is not empty) and any other code the error envelope with `reason`.
struct CommandResult {
    int code = 0;
    std::string reason;
    JsonReply reply;
    // The session named in the URL gets its activity refreshed after the
    // command (the short finishes of the login leave it).
    bool refreshSession = true;
};

namespace envelope {
// The texts the response writers send.
std::string errorResponse(int code, const char* reason);  // Result, ErrorNo, Reason
std::string okResponse();                                  // Result only
std::string okWithReason(const char* reason);              // Result, Reason
}  // namespace envelope
