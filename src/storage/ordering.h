// Ordering of recorded files by the time stamp their names start with.
//
// File names begin with YYYYMMDDhhmmss, directory names with YYYY-MM-DD.
// Each field is read from its fixed character positions with strtol rules
// (leading blanks and a sign accepted, reading stops at the first non-digit,
// no digit reads as 0), from the name's first 63 characters.
#pragma once

#include "storage/dirlist.h"

namespace storage {

// 1 when a's name time key is later than b's; -1 when earlier or equal, or
// when a name is null.
int NETSDK_LINK_FILE_THAN(const char* a, const char* b);
// 1 when a's date key is later than b's; -1 when earlier or equal, or null.
int NETSDK_LINK_DIR_THAN(const char* a, const char* b);
// Sum of the six fields of the name time key; -1 for a null name.
int NETSDK_LINK_FILE_NUM(const char* name);
// Mode 0: nothing. Mode 1: the node's files in ascending name time key,
// entries with equal keys in the reverse of their original order.
// 0; -1 for any other mode (negative modes included).
int NETSDK_LINK_FILE_SORT(NetsdkDirNode* node, int mode);

}  // namespace storage
