// Directory entry list: one scanned card directory in memory.
//
// The head node holds the files of the scanned directory, in the order the
// file system returned them; every node after the head stands for one of its
// subdirectories (not read), newest insertion first, so subdirectories come
// out in the reverse of the scan order. Containers grow with what is found:
// no fixed block per node.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace storage {

// At most this many files are taken from one directory; the scan stops at
// the file that fills the last place.
inline constexpr std::size_t kMaxDirFiles = 4096;

// The card's own list of recordings; never shown in a listing.
inline constexpr const char* kRecordListName = "recodefilelist.txt";

struct NetsdkFileEntry {
    std::int64_t size = 0;
    std::string time;  // "hh:mm:ss" of the status-change time (local time of day)
    std::string name;  // last path component; empty = unused place, skipped by readers
};

struct NetsdkDirNode {
    std::string name;
    std::vector<NetsdkFileEntry> files;  // the used file places, in order
};

struct NetsdkLink {
    NetsdkDirNode head;
    std::deque<NetsdkDirNode> nodes;  // the nodes after the head, in list order
};

// A new, empty list; null when memory is short ("link head malloc fail\n").
std::unique_ptr<NetsdkLink> NETSDK_CREATE_LINK();
// Links a copy of `node` directly after the head. 0; -1 when memory is short.
int NETSDK_LINK_INS_HEAD_LINK(NetsdkLink& link, const NetsdkDirNode& node);

// Fills `entry` from the status of the file at `path`. A file whose name
// occurs in `record_list` (may be null) is marked "recording...".
// 0; -1 for a null path or an unreadable status (entry left as it was).
int NETSDK_GET_FILE_stat(const char* path, NetsdkFileEntry& entry, const char* record_list);

// Scans directory `dir` into `link`: files into the head (none for grade 0),
// subdirectories as nodes after it. -1 when the directory cannot be opened,
// otherwise 0.
int NETSDK_LINK_SERCH_DIR(const char* dir, NetsdkLink& link, const char* record_list, int grade);

}  // namespace storage
