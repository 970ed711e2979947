// Fuzzes the query walk: an action name and a query of any bytes.
// Input: first byte = action name length (mod 64), then the name, then the
// query. Both with and without a body; the JSON produced must parse back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/json.h"
#include "dispatch/query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t nameLen = data[0] % 64;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (nameLen > rest.size()) nameLen = rest.size();
    std::string_view action = rest.substr(0, nameLen);
    std::string_view query = rest.substr(nameLen);

    auto without = dispatch::convert_query(action, query, false);
    auto with = dispatch::convert_query(action, query, true);
    if (without.status != with.status) std::abort();
    if (with.json) std::abort();
    if (without.status == dispatch::QueryStatus::Ok) {
        // Keys and values reach the JSON as strings of any bytes; a NUL cuts
        // them, which the printer handles. The text must be valid JSON.
        if (without.json && !json::parse(without.json->c_str())) std::abort();
    } else if (without.json) {
        std::abort();
    }
    return 0;
}
