#include "common/diag.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace diag {
namespace {
// Two threads print; one lock keeps a line's pieces together.
std::mutex printLock;

void emit(FILE* stream, const char* prefix, const char* suffix, const char* fmt, va_list ap) {
    std::lock_guard<std::mutex> guard(printLock);
    if (prefix) std::fputs(prefix, stream);
    std::vfprintf(stream, fmt, ap);
    if (suffix) std::fputs(suffix, stream);
    std::fflush(stream);
}
}  // namespace

void errorLine(const char* file, int line, const char* func, const char* fmt, ...) {
    char prefix[512];
    std::snprintf(prefix, sizeof prefix, "\033[1;31m<ERROR! %s:%d, %s>: ", file, line, func);
    va_list ap;
    va_start(ap, fmt);
    emit(stderr, prefix, "\033[0m", fmt, ap);
    va_end(ap);
}

void debugLine(const char* file, int line, const char* fmt, ...) {
    char prefix[512];
    std::snprintf(prefix, sizeof prefix, "<DEBUG file %s, line %d>: ", file, line);
    va_list ap;
    va_start(ap, fmt);
    emit(stdout, prefix, nullptr, fmt, ap);
    va_end(ap);
}

void out(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit(stdout, nullptr, nullptr, fmt, ap);
    va_end(ap);
}

void err(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit(stderr, nullptr, nullptr, fmt, ap);
    va_end(ap);
}

}  // namespace diag
