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
    // The same from the file's text; `name` is used in error lines.
    bool parse(const std::string& name, const std::string& text);
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
    // The same from the file's text; `name` is used in error lines.
    bool parse(const std::string& name, const std::string& text);
    // True when a deny rule covers `path` (the prefix starts the path, or
    // the path is the prefix without its trailing '/').
    bool denied(std::string_view path) const { return covered(deny_, path); }
    // True when a session rule covers `path`: only a live session may read it.
    bool needsSession(std::string_view path) const { return covered(session_, path); }
    // True when a host rule names `host` (any letter case).
    bool hostListed(std::string_view host) const;
    void clear() {
        deny_.clear();
        session_.clear();
        hosts_.clear();
    }

private:
    static bool covered(const std::vector<std::string>& prefixes, std::string_view path);
    std::vector<std::string> deny_, session_, hosts_;
};

}  // namespace web::detail
