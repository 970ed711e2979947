// Reading the parameters of a JSON request and building a JSON reply, with
// the error lines that every reader and builder prints. Each line names the
// reader or builder it is printed for (its own name, given as __func__), not
// these helpers.
#pragma once

#include "common/json.h"

// Reads the members of one request object, in the order the reader asks for
// them. Every refusal prints its error line; the reader returns the code.
class RequestReader {
public:
    explicit RequestReader(const char* operation) : operation_(operation) {}

    // Refuses a missing text or missing outputs (`outputs_given` false) with
    // the reader's own `invalid` line, then parses the text. 0; -2 for
    // missing arguments; -15 after "json pack into cjson error..." when the
    // text is not JSON.
    int open(const char* text, bool outputs_given, const char* invalid);

    const cJSON* root() const { return root_.get(); }

    enum class Text { MayBeEmpty, NotEmpty };
    // A string member (NotEmpty also refuses ""); the text stays owned by
    // the reader. False after the "is empty or error value type" line.
    bool text(const char* key, const char*& value, Text rule = Text::MayBeEmpty) const;
    // A member that is a number or true (read as 1). False after the "is
    // empty or error value type" line.
    bool integer(const char* key, int& value) const;

private:
    bool refuse(const char* key, const cJSON* found) const;

    const char* operation_;
    JsonPtr root_;
};

namespace reply {

// "Invalid input params!" for a builder given nothing to build from: -2.
int invalidInput(const char* operation);
// "Out of memory!" for a node or member that could not be made: -15.
int outOfMemory(const char* operation);
// `item` printed formatted into `out`: 0, or -15 after "Out of memory!" when
// printing fails (no reply text is never a success).
int print(const char* operation, const cJSON* item, JsonReply& out);

}  // namespace reply
