// The 64-slot session table of logged-in clients, on the monotonic clock.
#pragma once

#include <functional>

inline constexpr int kSessionSlots = 64;

// 0 and *id_out = the new id (owned by the table); -1 for a null user or
// receiver, a time-out <= 0, or when no id can be generated (nothing changes
// then). A full table evicts slot 0.
int add_new_session(const char* user, int timeout, const char** id_out);

// Slot index of a live session, -1 when unknown or just expired.
// Mode "set" refreshes its last activity.
int find_saved_session(const char* id, const char* mode);

// Slot index of the ended session, -1 for a null or unknown id.
int delete_session_by_id(const char* id);

// Test seam: replaces the monotonic clock (seconds). Null restores it.
void set_session_clock(std::function<long()> clock);
// Test seam: empties the table.
void reset_sessions();
