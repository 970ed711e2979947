// Diagnostics: the red error line on standard error and the debug line on
// standard output. Each line is formatted whole, secrets in it are masked,
// and it is written with one write(2). A thread that serves requests can
// batch its lines (see batchLines): they then wait in one buffer that is
// written when the other stream is used, when it grows large, and whenever
// the thread calls flush() -- at the end of each turn of its event loop and
// before anything that blocks or forks.
#pragma once

#include <cstddef>
#include <string>

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

// Plain text on stdout / stderr.
void out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// From now on the calling thread's lines wait in the shared buffer until
// flush() (or until another thread or the other stream writes). Off again
// with false, which also flushes.
void batchLines(bool on);
// Writes whatever lines wait. Any thread may call it; cheap when empty.
void flush();

// Replaces, in place, the values of password fields (JSON keys and URL query
// keys ending in "password", any letter case, also inside JSON printed as a
// JSON string), of "sessionid" keys and of "sessionid"/"...password" query
// parameters with "***". Everything else is left as it is.
void maskSecrets(std::string& text);

}  // namespace diag
