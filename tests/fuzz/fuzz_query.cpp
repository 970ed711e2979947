// Fuzzes the query walk. Input: first byte = action name length (mod 64), then the name, then the query. With and
// without a body; the JSON produced must parse back.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/json.h"
#include "dispatch/query.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string_view action = rest.substr(0, data[0] % 64), query = rest.substr(action.size());
    auto without = dispatch::convert_query(action, query, false);
    auto with = dispatch::convert_query(action, query, true);
    if (without.status != with.status || with.json) std::abort();
    bool ok = without.status == dispatch::QueryStatus::Ok;
    if (without.json && (!ok || !json::parse(without.json->c_str()))) std::abort();
    return 0;
}
