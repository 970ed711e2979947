// Small RAII and reading helpers around cJSON.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct JsonDeleter {
    void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// A reply text handed back by a builder, an action or an exchange
// (absent until one is produced). The receiver writes it and drops it.
using JsonReply = std::optional<std::string>;

namespace json {

// cJSON_Print / cJSON_PrintUnformatted into a std::string; nullopt when
// printing fails (out of memory).
std::optional<std::string> printFormatted(const cJSON* item);
std::optional<std::string> printCompact(const cJSON* item);

// Parses a NUL-terminated text; null when the text is null or not JSON.
JsonPtr parse(const char* text);

// cJSON's type number of an item (1 false, 2 true, 4 null, 8 number,
// 16 string, 32 array, 64 object), -1 for a missing item.
int typeCode(const cJSON* item);

// A numeric key accepts a JSON number or true.
bool isNumberOrTrue(const cJSON* item);
// Integer value of a number (cJSON's saturated valueint) or 1 for true.
int intValue(const cJSON* item);

}  // namespace json

// Texts of a fixed shape written directly, byte for byte as cJSON prints
// them (no tree, no allocation beyond the output string).
namespace json {

// A string value or key, quoted and escaped like cJSON: \" \\ \b \f \n \r \t,
// other bytes below 0x20 as \u00xx, everything else (UTF-8 too) verbatim.
void appendString(std::string& out, const char* s);
// A number: an int-valued one as %d, else %1.15g (%1.17g when that does not
// read back), non-finite as null.
void appendNumber(std::string& out, double d);

// One object, members in the order they are added, laid out like cJSON_Print
// (formatted: "{\n\t\"Key\":\tvalue,\n...\n}") or cJSON_PrintUnformatted.
class ObjectWriter {
public:
    ObjectWriter(std::string& out, bool formatted) : out_(out), formatted_(formatted) {
        out_ += formatted ? "{\n" : "{";
    }
    ObjectWriter& string(const char* key, const char* value) {
        appendString(key_(key), value);
        return *this;
    }
    ObjectWriter& number(const char* key, double value) {
        appendNumber(key_(key), value);
        return *this;
    }
    ObjectWriter& boolean(const char* key, bool value) {
        key_(key) += value ? "true" : "false";
        return *this;
    }
    // A value inserted as it is (cJSON_AddRawToObject).
    ObjectWriter& raw(const char* key, std::string_view text) {
        key_(key).append(text);
        return *this;
    }
    // `printed` is a value as cJSON_Print printed it at the top level; it is
    // indented one level deeper (cJSON's strings hold no raw newline, so
    // every newline in it is layout).
    ObjectWriter& nested(const char* key, std::string_view printed);
    // Closes the object; the writer is not used afterwards.
    void close() { out_ += formatted_ && members_ ? "\n}" : "}"; }

private:
    std::string& key_(const char* key);
    std::string& out_;
    bool formatted_;
    int members_ = 0;
};

}  // namespace json
