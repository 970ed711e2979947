// Route and access rules of the web layer, read from the route file and the
// authentication file. Both formats are line based; docs/web-layer.md
// describes them. Internal to src/web (and its tests).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace web::detail {

struct RouteRule {
    enum class Kind { Action, Static };
    Kind kind = Kind::Static;
    std::string prefix;  // matched against the raw request path
    std::string action;  // action name for Kind::Action
};

class RouteTable {
public:
    // Reads a route file; false (with an error line) when the file cannot be
    // read or holds a line it does not understand. The table is unchanged
    // on failure.
    bool load(const std::string& path);
    // The first rule whose prefix starts `path`, or null.
    const RouteRule* match(std::string_view path) const;
    const std::vector<RouteRule>& rules() const { return rules_; }
    void clear() { rules_.clear(); }

private:
    std::vector<RouteRule> rules_;
};

class AccessRules {
public:
    // Reads an authentication file; false (with an error line) when the
    // file cannot be read or holds a line it does not understand.
    bool load(const std::string& path);
    // True when a deny rule covers `path` (the prefix starts the path, or
    // the path is the prefix without its trailing '/').
    bool denied(std::string_view path) const;
    void clear() { deny_.clear(); }

private:
    std::vector<std::string> deny_;
};

}  // namespace web::detail
