// libFuzzer target: request-path cleaning and content types on any bytes.
// A path that comes out clean must stay inside the document root.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web/static_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view raw(reinterpret_cast<const char*>(data), size);
    std::string relative;
    if (web::detail::cleanRequestPath(raw, relative) == web::detail::PathCheck::Ok) {
        if (relative.find('\0') != std::string::npos || relative.find('\\') != std::string::npos ||
            relative.starts_with('/') || relative.ends_with('/') || relative.find("//") != std::string::npos)
            std::abort();
        std::string_view rest(relative);
        while (!rest.empty()) {
            std::string_view segment = rest.substr(0, rest.find('/'));
            if (segment == ".." || segment == ".") std::abort();
            rest.remove_prefix(std::min(rest.size(), segment.size() + 1));
        }
    } else if (raw.find("..") == std::string_view::npos &&
               raw.find('%') == std::string_view::npos && raw.starts_with('/') &&
               raw.find('\\') == std::string_view::npos && raw.find('\0') == std::string_view::npos) {
        std::abort();  // a plain path with nothing to refuse was refused
    }
    if (!web::detail::contentTypeFor(raw)) std::abort();
    return 0;
}
