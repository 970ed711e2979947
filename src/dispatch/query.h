// Conversion of a command URL's query into the request JSON.
//
// The walk captures the five values the dispatcher decides with
// (sessionid, username, password, edidfile, fileName), checks the query's
// form, and, when the request carries no body, turns every other pair
// into a JSON member typed by the rules the device applications rely on.
// It is a pure function of its inputs: no output, no global state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dispatch {

struct QueryCapture {
    std::optional<std::string> sessionid;
    std::optional<std::string> username;
    std::optional<std::string> password;
    std::optional<std::string> edidfile;
    std::optional<std::string> fileName;
};

enum class QueryStatus {
    Ok,
    MissingEquals,     // a segment without '=' (also the empty segment after a trailing '&')
    EmptyKeyOrValue,   // "=5", "x=", "x=&y=1"
};

struct QueryConversion {
    QueryStatus status = QueryStatus::Ok;
    int jsonType = 0;                 // 0: one object, 1: array holding one object
    QueryCapture captured;
    std::optional<std::string> json;  // formatted query JSON; only without a body
};

// 1 when the action name begins with 'S' and ends with 's', else 0.
int json_shape(std::string_view action_name);

// Walks `query` (the text after '?', not percent-decoded).
QueryConversion convert_query(std::string_view action_name, std::string_view query,
                              bool body_present);

// Base-10 integer of the text's leading number (strtol rules), clamped to
// the 32-bit signed range; 0 when there is none.
int query_int_value(const std::string& text);

}  // namespace dispatch
