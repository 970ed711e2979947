// libFuzzer target: the route and authentication file readers on any text,
// then look-ups in whatever they accepted. The readers' error lines go to
// /dev/null (libFuzzer keeps its own stream).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "web/rules.h"

namespace {

struct Quiet {
    Quiet() {
        if (std::getenv("FUZZ_VERBOSE")) return;
        if (!std::freopen("/dev/null", "w", stdout)) std::abort();
        if (FILE* sink = std::fopen("/dev/null", "w")) stderr = sink;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Quiet quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    web::detail::RouteTable routes;
    if (routes.parse("route.txt", text)) {
        if (routes.rules().empty()) std::abort();
        for (const web::detail::RouteRule& r : routes.rules()) {
            if (!r.prefix.starts_with('/')) std::abort();
            const web::detail::RouteRule* m = routes.match(r.prefix + "x");
            if (!m || !(r.prefix + "x").starts_with(m->prefix)) std::abort();
        }
    }
    web::detail::AccessRules access;
    if (access.parse("auth.txt", text)) {
        // Look-ups on pieces of the text itself.
        for (std::size_t i = 0; i + 1 < text.size(); i += 7) {
            std::string_view piece = std::string_view(text).substr(i, 24);
            access.denied(piece);
            access.needsSession(piece);
            access.hostListed(piece);
        }
    }
    return 0;
}
