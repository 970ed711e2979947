// Whole-file reads and writes of configuration files, serialised on one
// process-wide lock (mutex_common). Writes are atomic: a temporary file in
// the same folder is written, flushed and renamed over the target, so a
// failed write leaves the old file whole.
#pragma once

#include <optional>
#include <string>

// Reads exactly `size` bytes of a record file into `data`.
// 0; -2 invalid arguments; -1 missing file or size differs; -7 open/read failure.
int http_get_cfgfile(const char* path, void* data, long size);

// Writes `size` bytes as the whole file (mode 0664 when created).
// 0; -2 invalid arguments; -7 open/write failure (old file left whole).
int http_set_cfgfile(const char* path, const void* data, int size);

// Reads a whole file of any size; nullopt when missing, empty or unreadable.
std::optional<std::string> http_get_datafile(const char* path);

// Reads a whole text file; nullopt when it cannot be opened.
std::optional<std::string> http_get_jsoncfgfile(const char* path);

// Writes the text (without its NUL) as the whole file (0666 when created).
// 0 or -7.
int http_set_jsoncfgfile(const char* path, const char* text);
