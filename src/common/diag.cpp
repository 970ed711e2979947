#include "common/diag.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
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

// Both secret words, "password" and "sessionid" (any letter case), have
// "ss" at offset 2: lines are scanned for that pair with memchr, so a line
// without secrets costs little more than its length in vector steps.
constexpr std::size_t kPairOffset = 2;

// Finds 's' or 'S' from `from` on; keeps the next position of each letter
// so that a line is read about once per letter.
class LetterS {
public:
    explicit LetterS(std::string_view s) : s_(s) {}
    std::size_t next(std::size_t from) {
        if (!started_ || lowerAt_ < from) lowerAt_ = find('s', from);
        if (!started_ || upperAt_ < from) upperAt_ = find('S', from);
        started_ = true;
        return std::min(lowerAt_, upperAt_);
    }

private:
    std::size_t find(char c, std::size_t from) const {
        if (from >= s_.size()) return std::string_view::npos;
        const void* p = std::memchr(s_.data() + from, c, s_.size() - from);
        return p ? static_cast<std::size_t>(static_cast<const char*>(p) - s_.data())
                 : std::string_view::npos;
    }
    std::string_view s_;
    std::size_t lowerAt_ = 0, upperAt_ = 0;
    bool started_ = false;
};

// Length of the secret word starting at `i`, or 0.
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

// The start and length of the first secret word at or after `from`.
std::pair<std::size_t, std::size_t> nextSecretWord(std::string_view s, std::size_t from) {
    LetterS letters(s);
    for (std::size_t j = letters.next(from + kPairOffset); j != std::string_view::npos;
         j = letters.next(j + 1)) {
        if (j + 1 >= s.size()) break;
        if (lower(s[j + 1]) != 's') continue;
        if (std::size_t length = secretWordAt(s, j - kPairOffset))
            return {j - kPairOffset, length};
    }
    return {std::string_view::npos, 0};
}

// WiFi keys ("SecurityKey", "AccessPointSecurityKey") are passwords too;
// found from their last letter, rare in printed lines.
std::pair<std::size_t, std::size_t> nextSecurityKey(std::string_view s, std::size_t from) {
    static constexpr std::string_view kWord = "securitykey";
    for (std::size_t j = from + kWord.size() - 1; j < s.size(); ++j) {
        if (lower(s[j]) != 'y') continue;
        const std::size_t start = j + 1 - kWord.size();
        bool same = true;
        for (std::size_t k = 0; k < kWord.size() && same; ++k) same = lower(s[start + k]) == kWord[k];
        if (same) return {start, kWord.size()};
    }
    return {std::string_view::npos, 0};
}

// The first secret key word at or after `from`: (start, length), length 0 if none.
std::pair<std::size_t, std::size_t> nextSecret(std::string_view s, std::size_t from) {
    auto word = nextSecretWord(s, from);
    auto key = nextSecurityKey(s, from);
    return key.first < word.first ? key : word;
}

bool hasSecretWord(std::string_view s) { return nextSecret(s, 0).second != 0; }

bool equalNoCase(std::string_view a, std::string_view lowerB) {
    if (a.size() != lowerB.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (lower(a[k]) != lowerB[k]) return false;
    return true;
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
    static constexpr std::string_view kMask = "***";
    std::size_t i = 0;
    while (i < text.size()) {
        std::string_view s(text);
        auto [at, length] = nextSecret(s, i);
        if (!length) return;
        i = at;
        // "...password" and "...securitykey" keys of any name; "sessionid"
        // only as the whole key.
        const bool password = length != std::string_view("sessionid").size();
        std::size_t keyStart = i;
        while (keyStart > 0 && isKeyChar(s[keyStart - 1])) --keyStart;
        const std::size_t keyEnd = i + length;
        i = keyEnd;
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
            p = skipBlanks(s, p + 1, escaped);
            const std::size_t quoted = quoteAt(s, p, escaped);
            if (quoted != std::string_view::npos) {
                valueStart = quoted;
                valueEnd = stringEnd(s, quoted, escaped);
            } else if (password && !equalNoCase(s.substr(keyStart, keyEnd - keyStart), "md5password")) {
                // A password given as a number (digits in a query become
                // one); "MD5Password" is only the flag saying a digest is sent.
                valueStart = p;
                valueEnd = s.find_first_of(",}] \t\r\n\\", p);
                if (valueEnd == std::string_view::npos) valueEnd = s.size();
                if (valueEnd == valueStart) continue;
            }
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

namespace {

// Builds a line prefix from texts and one number without printf.
class Prefix {
public:
    Prefix& text(const char* t) {
        std::size_t n = std::min(std::strlen(t), sizeof buffer_ - 1 - used_);
        std::memcpy(buffer_ + used_, t, n);
        used_ += n;
        buffer_[used_] = '\0';
        return *this;
    }
    Prefix& number(int value) {
        char digits[16];
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits - 1, value);
        *end = '\0';
        return text(digits);
    }
    const char* c_str() const { return buffer_; }

private:
    char buffer_[512] = "";
    std::size_t used_ = 0;
};

}  // namespace

void errorLine(const char* file, int line, const char* func, const char* fmt, ...) {
    Prefix p;
    p.text("\033[1;31m<ERROR! ").text(file).text(":").number(line).text(", ").text(func).text(">: ");
    const char* prefix = p.c_str();
    va_list ap;
    va_start(ap, fmt);
    emit(STDERR_FILENO, prefix, "\033[0m", fmt, ap);
    va_end(ap);
}

void debugLine(const char* file, int line, const char* fmt, ...) {
    Prefix p;
    p.text("<DEBUG file ").text(file).text(", line ").number(line).text(">: ");
    const char* prefix = p.c_str();
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
