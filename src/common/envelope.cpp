#include "common/envelope.h"

namespace {

JsonReply build(const char* result, const int* code, const char* reason, const std::string* params) {
    JsonPtr obj(cJSON_CreateObject());
    if (!obj) return std::nullopt;
    cJSON_AddStringToObject(obj.get(), "Result", result);
    if (code) cJSON_AddNumberToObject(obj.get(), "ErrorNo", *code);
    if (reason) cJSON_AddStringToObject(obj.get(), "Reason", reason);
    if (params) cJSON_AddRawToObject(obj.get(), "Parameters", params->c_str());
    return json::printFormatted(obj.get());
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
