#include "common/envelope.h"

#include <cstring>

namespace {

// Written directly in cJSON_Print's layout: the answer texts are the same
// bytes a cJSON tree would print, without building one per request.
JsonReply build(const char* result, const int* code, const char* reason, const std::string* params) {
    std::string text;
    text.reserve(64 + (reason ? std::strlen(reason) : 0) + (params ? params->size() : 0));
    json::ObjectWriter obj(text, true);
    obj.string("Result", result);
    if (code) obj.number("ErrorNo", *code);
    if (reason) obj.string("Reason", reason);
    if (params) obj.raw("Parameters", *params);
    obj.close();
    return text;
}

}  // namespace

void formatFailCallJSON(JsonReply& out, const char* reason) {
    out = build("Fail", nullptr, reason ? reason : "", nullptr);
}

void formatSuccessCallJSON(JsonReply& out, const char* reason) {
    out = build("OK", nullptr, reason ? reason : "", nullptr);
}

void formatParamsJSON(JsonReply& out, const char* reason, std::string parameters_text) {
    out = build("OK", nullptr, reason ? reason : "", &parameters_text);
}

namespace envelope {

std::string errorResponse(int code, const char* reason) {
    return build("Fail", &code, reason ? reason : "", nullptr).value_or(std::string());
}

std::string okResponse() {
    return build("OK", nullptr, nullptr, nullptr).value_or(std::string());
}

std::string okWithReason(const char* reason) {
    return build("OK", nullptr, reason ? reason : "", nullptr).value_or(std::string());
}

}  // namespace envelope
