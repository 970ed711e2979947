// Static documents: request path clean-up, content types, HTTP dates and
// opening files so that nothing outside the document root can be reached.
// Internal to src/web (and its tests).
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <string_view>

namespace web::detail {

enum class PathCheck { Ok, BadRequest, Forbidden };

// Percent-decodes the path part of a raw request target (text before '?')
// and cleans it into a path relative to the document root, without leading
// '/', "." or empty segments ("" is the root itself). Refuses (Forbidden)
// "..", NUL, backslashes and encoded '/' or '\'; BadRequest for a path not
// starting with '/' or a broken %-escape.
PathCheck cleanRequestPath(std::string_view rawPath, std::string& relative);

// Content-Type for a file name by its extension.
const char* contentTypeFor(std::string_view fileName);

// IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT") into `out` (>= 32 bytes).
void formatHttpDate(std::time_t t, char* out, std::size_t size);
// Parses an IMF-fixdate; false when the text is not one.
bool parseHttpDate(const char* text, std::time_t& t);

class DocumentRoot {
public:
    enum class Opener { Auto, Realpath };

    DocumentRoot() = default;
    ~DocumentRoot() { close(); }
    DocumentRoot(const DocumentRoot&) = delete;
    DocumentRoot& operator=(const DocumentRoot&) = delete;

    // False when `dir` is not a readable directory.
    bool open(const std::string& dir, Opener opener = Opener::Auto);
    void close();
    bool isOpen() const { return rootFd_ >= 0; }
    const std::string& path() const { return dir_; }

    // Opens the regular file at `relative` (a cleaned path); a directory
    // gives its `index` file. Returns 0 with `fd` (owned by the caller),
    // its size, modification time and the served file's name, or the HTTP
    // status to answer: 403 for a path resolving outside the root, 404 for
    // anything missing or not a regular file.
    int openDocument(const std::string& relative, const std::string& index, int& fd,
                     off_t& size, std::time_t& mtime, std::string& servedName) const;

private:
    int openBeneath(const std::string& relative) const;

    int rootFd_ = -1;
    std::string dir_;
    std::string realDir_;
    mutable bool useOpenat2_ = true;
};

}  // namespace web::detail
