// libFuzzer target: request-path cleaning and content types on any bytes.
// A path that comes out clean must stay inside the document root.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/static_files.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view raw(reinterpret_cast<const char*>(data), size);
    std::string rel;
    if (web::detail::cleanRequestPath(raw, rel) == web::detail::PathCheck::Ok) {
        const std::string wrapped = "/" + rel + "/";  // no empty, "." or ".." segment, no NUL or '\\'
        if (rel.find_first_of(std::string_view("\\\0", 2)) != std::string::npos ||
            (!rel.empty() && wrapped.find("//") != std::string::npos) || wrapped.find("/./") != std::string::npos ||
            wrapped.find("/../") != std::string::npos)
            std::abort();
    } else if (raw.starts_with('/') && raw.find_first_of(std::string_view("%\\\0", 3)) == std::string_view::npos &&
               raw.find("..") == std::string_view::npos) {
        std::abort();  // a plain path with nothing to refuse was refused
    }
    if (!web::detail::contentTypeFor(raw)) std::abort();
    return 0;
}
