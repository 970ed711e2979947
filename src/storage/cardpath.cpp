#include "storage/cardpath.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace storage {

bool cardMounted(const char* marker) {
    return marker && access(marker, W_OK) == 0;
}

std::optional<std::string> resolvedPath(const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

bool pathWithin(const std::string& path, const std::string& root, bool root_itself) {
    if (path == root) return root_itself;
    if (root == "/") return path.size() > 1 && path[0] == '/';
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

}  // namespace storage
