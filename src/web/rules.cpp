#include "web/rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "common/diag.h"
#include "common/fileio.h"

namespace web::detail {
namespace {

constexpr std::size_t kMaxRuleFile = 64 * 1024;
constexpr std::size_t kMaxLine = 1024;
constexpr std::size_t kMaxRules = 256;

// Reads a small regular file whole; false when it cannot be opened, is not a
// regular file, is too large or a read fails.
bool readRuleFile(const std::string& path, std::string& text) {
    fileio::Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!f.valid()) {
        ERROR_LINE("Cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        ERROR_LINE("%s is not a regular file\n", path.c_str());
        return false;
    }
    if (static_cast<std::size_t>(st.st_size) > kMaxRuleFile) {
        ERROR_LINE("%s is larger than %zu bytes\n", path.c_str(), kMaxRuleFile);
        return false;
    }
    text.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(f.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ERROR_LINE("Cannot read %s: %s\n", path.c_str(), std::strerror(errno));
            return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxRuleFile) {
            ERROR_LINE("%s is larger than %zu bytes\n", path.c_str(), kMaxRuleFile);
            return false;
        }
    }
    return true;
}

// Calls `onLine(lineNumber, fields)` for every line that is neither blank nor
// a comment; stops with false as soon as a line is refused.
template <typename OnLine>
bool forEachRuleLine(const std::string& path, const std::string& text, OnLine onLine) {
    std::size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > kMaxLine) {
            ERROR_LINE("%s:%d: line longer than %zu characters\n", path.c_str(), lineNo, kMaxLine);
            return false;
        }
        if (line.find('\0') != std::string_view::npos) {
            ERROR_LINE("%s:%d: NUL byte in line\n", path.c_str(), lineNo);
            return false;
        }
        std::vector<std::string_view> fields;
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            if (i >= line.size()) break;
            std::size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
            fields.push_back(line.substr(start, i - start));
        }
        if (fields.empty() || fields.front().front() == '#') continue;
        if (!onLine(lineNo, fields)) return false;
    }
    return true;
}

bool validPrefix(std::string_view prefix) {
    if (prefix.empty() || prefix.front() != '/') return false;
    for (char c : prefix) {
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f) return false;
    }
    return true;
}

// The checks every rule line shares: a valid prefix, and room for one more
// rule beside the `taken` ones. False after the line's error.
bool acceptRule(const std::string& path, int lineNo, std::string_view prefix, std::size_t taken) {
    if (!validPrefix(prefix)) {
        ERROR_LINE("%s:%d: a prefix starts with '/' and has no blanks\n", path.c_str(), lineNo);
        return false;
    }
    if (taken >= kMaxRules) {
        ERROR_LINE("%s:%d: more than %zu rules\n", path.c_str(), lineNo, kMaxRules);
        return false;
    }
    return true;
}

}  // namespace

bool RouteTable::load(const std::string& path) {
    std::string text;
    return readRuleFile(path, text) && parse(path, text);
}

bool RouteTable::parse(const std::string& path, const std::string& text) {
    std::vector<RouteRule> rules;
    bool ok = forEachRuleLine(path, text, [&](int lineNo, const std::vector<std::string_view>& f) {
        RouteRule rule;
        if (f[0] == "action" && f.size() == 3) {
            rule.kind = RouteRule::Kind::Action;
            rule.action = f[2];
        } else if (f[0] == "static" && f.size() == 2) {
            rule.kind = RouteRule::Kind::Static;
        } else {
            ERROR_LINE("%s:%d: expected \"action PREFIX NAME\" or \"static PREFIX\"\n", path.c_str(),
                       lineNo);
            return false;
        }
        if (!acceptRule(path, lineNo, f[1], rules.size())) return false;
        rule.prefix = f[1];
        rules.push_back(std::move(rule));
        return true;
    });
    if (!ok) return false;
    if (rules.empty()) {
        ERROR_LINE("%s: no route rules\n", path.c_str());
        return false;
    }
    rules_ = std::move(rules);
    return true;
}

const RouteRule* RouteTable::match(std::string_view path) const {
    for (const RouteRule& r : rules_) {
        if (path.starts_with(r.prefix)) return &r;
    }
    return nullptr;
}

bool AccessRules::load(const std::string& path) {
    std::string text;
    return readRuleFile(path, text) && parse(path, text);
}

bool AccessRules::parse(const std::string& path, const std::string& text) {
    std::vector<std::string> deny, session, hosts;
    bool ok = forEachRuleLine(path, text, [&](int lineNo, const std::vector<std::string_view>& f) {
        std::vector<std::string>* into = f[0] == "deny" ? &deny : f[0] == "session" ? &session
                                       : f[0] == "host" ? &hosts : nullptr;
        if (!into || f.size() != 2) {
            ERROR_LINE("%s:%d: expected \"deny PREFIX\", \"session PREFIX\" or \"host NAME\"\n",
                       path.c_str(), lineNo);
            return false;
        }
        std::size_t taken = deny.size() + session.size() + hosts.size();
        if (into == &hosts) {
            if (taken >= kMaxRules) {
                ERROR_LINE("%s:%d: more than %zu rules\n", path.c_str(), lineNo, kMaxRules);
                return false;
            }
        } else if (!acceptRule(path, lineNo, f[1], taken)) {
            return false;
        }
        into->emplace_back(f[1]);
        return true;
    });
    if (!ok) return false;
    deny_ = std::move(deny);
    session_ = std::move(session);
    hosts_ = std::move(hosts);
    return true;
}

bool AccessRules::covered(const std::vector<std::string>& prefixes, std::string_view path) {
    for (const std::string& p : prefixes) {
        if (path.starts_with(p)) return true;
        if (p.size() > 1 && p.back() == '/' && path == std::string_view(p).substr(0, p.size() - 1))
            return true;
    }
    return false;
}

bool AccessRules::hostListed(std::string_view host) const {
    for (const std::string& h : hosts_) {
        if (h.size() != host.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < h.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(h[i])) ==
                   std::tolower(static_cast<unsigned char>(host[i]));
        if (same) return true;
    }
    return false;
}

}  // namespace web::detail
