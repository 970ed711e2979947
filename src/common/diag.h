// Diagnostics: the red error line on standard error and the debug line on
// standard output. Both are written and flushed line by line, so that they
// reach a log file as they happen.
#pragma once

#define ERROR_LINE(...) ::diag::errorLine(__FILE__, __LINE__, __func__, __VA_ARGS__)
// The same line naming an operation other than the calling function (for
// helpers that print on behalf of the operation their callers know).
#define ERROR_LINE_AS(operation, ...) ::diag::errorLine(__FILE__, __LINE__, operation, __VA_ARGS__)
#define DEBUG_LINE(...) ::diag::debugLine(__FILE__, __LINE__, __VA_ARGS__)

namespace diag {

// "\033[1;31m<ERROR! file:line, function>: " + message + "\033[0m" on stderr.
void errorLine(const char* file, int line, const char* func, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// "<DEBUG file %s, line %d>: " + message on stdout.
void debugLine(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Plain text on stdout / stderr, flushed at once.
void out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace diag
