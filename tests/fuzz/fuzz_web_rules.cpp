// libFuzzer target: the route and authentication file readers on any text, then look-ups in whatever they accepted.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "web/rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    web::detail::RouteTable routes;
    if (routes.parse("route.txt", text)) {
        if (routes.rules().empty()) std::abort();
        for (const web::detail::RouteRule& r : routes.rules()) {
            const web::detail::RouteRule* m = routes.match(r.prefix + "x");
            if (!r.prefix.starts_with('/') || !m || !(r.prefix + "x").starts_with(m->prefix)) std::abort();
        }
    }
    web::detail::AccessRules access;
    if (access.parse("auth.txt", text))
        for (std::size_t i = 0; i + 1 < text.size(); i += 7) {  // look-ups on pieces of the text itself
            std::string_view piece = std::string_view(text).substr(i, 24);
            access.denied(piece);
            access.needsSession(piece);
            access.hostListed(piece);
        }
    return 0;
}
