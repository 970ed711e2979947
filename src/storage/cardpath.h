// Card root checks shared by the listing and the deletion: the marker file
// that tells the card is mounted, and whether a path stays on the card; and
// the directory stream they both read folders with.
#pragma once

#include <dirent.h>

#include <memory>
#include <optional>
#include <string>

namespace storage {

// An open directory stream, closed when it goes.
struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// The card counts as mounted when its marker file exists and may be written.
bool cardMounted(const char* marker);

// The canonical absolute form of an existing path (symbolic links resolved).
std::optional<std::string> resolvedPath(const std::string& path);

// Whether canonical `path` is canonical `root` itself (when allowed) or lies
// below it.
bool pathWithin(const std::string& path, const std::string& root, bool root_itself);

}  // namespace storage
