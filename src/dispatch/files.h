// File plumbing of the upload and upgrade commands: complete reads, block
// copies, and files installed whole by rename (on the owned descriptors and
// complete writes of common/fileio.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "common/fileio.h"

namespace dispatch::files {

using fileio::Fd;
using fileio::writeAll;

// Reads up to `len` bytes, looping until `len` or end of file; bytes read,
// or -1 on a read error.
long read_full(int fd, char* data, std::size_t len);

// How copy_contents ended.
enum class CopyResult { Done, ReadFailed, WriteFailed };

// Copies everything readable from `in` to `out` in blocks, from the current
// offsets on; never holds the whole file in memory.
CopyResult copy_contents(int in, int out);

// The folder part of a path, with its trailing '/' ("./" when none).
std::string dir_of(const std::string& path);

// A temporary file being filled for one target. Removed on destruction
// unless committed.
class PendingFile {
public:
    // Creates ".wsXXXXXX" in the target's folder.
    explicit PendingFile(const std::string& target);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    bool ok() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    // fsync, give `mode`, close, rename over the target, fsync the folder.
    // False (and the temporary file removed, the target untouched) on any
    // failure.
    bool commit(mode_t mode);

private:
    std::string target_;
    std::string path_;
    Fd fd_;
    bool done_ = false;
};

// Flushes a folder's entry changes (after a rename into it).
void sync_dir(const std::string& dir);

}  // namespace dispatch::files
