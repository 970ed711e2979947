#include "common/diag.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

namespace diag {
namespace {

// Lines of batching threads wait here, all for one stream; one lock keeps
// every line whole and the lines of all threads in the order they came.
std::mutex printLock;
std::string pending;
int pendingFd = -1;
constexpr std::size_t kFlushAt = 8 * 1024;
thread_local bool batching = false;

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere to report a failing standard stream
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void flushLocked() {
    if (pending.empty()) return;
    writeAll(pendingFd, pending.data(), pending.size());
    pending.clear();
}

void write(int fd, std::string_view line) {
    std::lock_guard<std::mutex> guard(printLock);
    if (!pending.empty() && pendingFd != fd) flushLocked();
    if (batching || !pending.empty()) {
        pendingFd = fd;
        pending.append(line);
        if (!batching || pending.size() >= kFlushAt) flushLocked();
        return;
    }
    writeAll(fd, line.data(), line.size());
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Length of the secret word ("password" or "sessionid", any letter case)
// starting at `i`, or 0.
std::size_t secretWordAt(std::string_view s, std::size_t i) {
    static constexpr std::string_view kWords[] = {"password", "sessionid"};
    for (std::string_view w : kWords) {
        if (s.size() - i < w.size()) continue;
        bool same = true;
        for (std::size_t k = 0; k < w.size() && same; ++k) same = lower(s[i + k]) == w[k];
        if (same) return w.size();
    }
    return 0;
}

bool hasSecretWord(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = lower(s[i]);
        if ((c == 'p' || c == 's') && secretWordAt(s, i)) return true;
    }
    return false;
}

// Skips blanks; in JSON printed inside a JSON string also the escapes
// "\t", "\n" and "\r" that stand for them.
std::size_t skipBlanks(std::string_view s, std::size_t p, bool escaped) {
    for (;;) {
        if (p < s.size() && (s[p] == ' ' || s[p] == '\t' || s[p] == '\n' || s[p] == '\r')) {
            ++p;
        } else if (escaped && p + 1 < s.size() && s[p] == '\\' &&
                   (s[p + 1] == 't' || s[p + 1] == 'n' || s[p + 1] == 'r')) {
            p += 2;
        } else {
            return p;
        }
    }
}

// Matches the quote that opens or closes a JSON string: '"' or, in escaped
// JSON, '\"'. Returns the position after it, or npos.
std::size_t quoteAt(std::string_view s, std::size_t p, bool escaped) {
    if (escaped) return s.substr(p).starts_with("\\\"") ? p + 2 : std::string_view::npos;
    return p < s.size() && s[p] == '"' ? p + 1 : std::string_view::npos;
}

// End of a JSON string value starting at `p` (position of its closing quote
// sequence), or the end of the text when it is cut short.
std::size_t stringEnd(std::string_view s, std::size_t p, bool escaped) {
    std::size_t backslashes = 0;
    for (; p < s.size(); ++p) {
        if (s[p] == '\\') {
            ++backslashes;
            continue;
        }
        if (s[p] == '"') {
            // Plain JSON: a quote after an even run of backslashes ends the
            // string. Escaped JSON: its closing '\"' is one backslash after
            // whole escaped pairs ("\\\\").
            if (!escaped && backslashes % 2 == 0) return p;
            if (escaped && backslashes % 4 == 1) return p - 1;
        }
        backslashes = 0;
    }
    return s.size();
}

}  // namespace

void maskSecrets(std::string& text) {
    if (!hasSecretWord(text)) return;
    static constexpr std::string_view kMask = "***";
    std::size_t i = 0;
    while (i < text.size()) {
        std::string_view s(text);
        std::size_t length = secretWordAt(s, i);
        if (!length) {
            ++i;
            continue;
        }
        const bool password = lower(s[i]) == 'p';
        std::size_t keyStart = i;
        while (keyStart > 0 && isKeyChar(s[keyStart - 1])) --keyStart;
        const std::size_t keyEnd = i + length;
        i = keyEnd;
        // "...password" keys of any name; "sessionid" only as the whole key.
        if ((!password && keyStart != keyEnd - length) || (keyEnd < s.size() && isKeyChar(s[keyEnd])))
            continue;
        if (keyStart == 0) continue;
        const char before = s[keyStart - 1];
        std::size_t valueStart = std::string_view::npos, valueEnd = 0;
        if ((before == '?' || before == '&') && keyEnd < s.size() && s[keyEnd] == '=') {
            valueStart = keyEnd + 1;
            valueEnd = s.find_first_of("& \t\r\n\"'#", valueStart);
            if (valueEnd == std::string_view::npos) valueEnd = s.size();
        } else if (before == '"') {
            const bool escaped = keyStart >= 2 && s[keyStart - 2] == '\\';
            std::size_t p = quoteAt(s, keyEnd, escaped);
            if (p == std::string_view::npos) continue;
            p = skipBlanks(s, p, escaped);
            if (p >= s.size() || s[p] != ':') continue;
            p = quoteAt(s, skipBlanks(s, p + 1, escaped), escaped);
            if (p == std::string_view::npos) continue;  // a number, null, ...
            valueStart = p;
            valueEnd = stringEnd(s, p, escaped);
        }
        if (valueStart == std::string_view::npos) continue;
        text.replace(valueStart, valueEnd - valueStart, kMask);
        i = valueStart + kMask.size();
    }
}

namespace {

// Formats prefix + message + suffix into one line and writes it.
void emit(int fd, const char* prefix, const char* suffix, const char* fmt, va_list ap) {
    char stack[1024];
    std::size_t used = 0;
    if (prefix) used = std::min(std::strlen(prefix), sizeof stack - 1);
    std::memcpy(stack, prefix ? prefix : "", used);
    const std::size_t suffixLength = suffix ? std::strlen(suffix) : 0;

    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(stack + used, sizeof stack - used, fmt, ap);
    if (n < 0) n = 0;
    std::string_view line;
    std::string heap;
    if (used + static_cast<std::size_t>(n) + suffixLength < sizeof stack) {
        std::memcpy(stack + used + n, suffix ? suffix : "", suffixLength);
        line = std::string_view(stack, used + static_cast<std::size_t>(n) + suffixLength);
    } else {
        heap.assign(stack, used);
        heap.resize(used + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(heap.data() + used, static_cast<std::size_t>(n) + 1, fmt, copy);
        heap.resize(used + static_cast<std::size_t>(n));
        if (suffix) heap += suffix;
        line = heap;
    }
    va_end(copy);

    if (hasSecretWord(line)) {
        if (heap.empty()) heap.assign(line);
        maskSecrets(heap);
        line = heap;
    }
    write(fd, line);
}

}  // namespace

void errorLine(const char* file, int line, const char* func, const char* fmt, ...) {
    char prefix[512];
    std::snprintf(prefix, sizeof prefix, "\033[1;31m<ERROR! %s:%d, %s>: ", file, line, func);
    va_list ap;
    va_start(ap, fmt);
    emit(STDERR_FILENO, prefix, "\033[0m", fmt, ap);
    va_end(ap);
}

void debugLine(const char* file, int line, const char* fmt, ...) {
    char prefix[512];
    std::snprintf(prefix, sizeof prefix, "<DEBUG file %s, line %d>: ", file, line);
    va_list ap;
    va_start(ap, fmt);
    emit(STDOUT_FILENO, prefix, nullptr, fmt, ap);
    va_end(ap);
}

void out(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit(STDOUT_FILENO, nullptr, nullptr, fmt, ap);
    va_end(ap);
}

void err(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit(STDERR_FILENO, nullptr, nullptr, fmt, ap);
    va_end(ap);
}

void batchLines(bool on) {
    batching = on;
    if (!on) flush();
}

void flush() {
    std::lock_guard<std::mutex> guard(printLock);
    flushLocked();
}

}  // namespace diag
