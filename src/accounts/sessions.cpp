#include "accounts/sessions.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <ctime>

#include "common/diag.h"

namespace {

struct SessionSlot {
    char id[64];          // empty: the slot is free
    char user[32];        // at most 31 characters
    std::int32_t timeout;       // idle time-out in seconds
    std::int32_t lastActivity;  // monotonic seconds at creation or last "set"
};

// The session table: static storage for the life of the process. The
// server thread checks sessions at the gates while the command thread adds,
// refreshes and ends them: every public function holds the lock.
SessionSlot g_sessions[kSessionSlots];
std::mutex g_sessionsMutex;

std::function<long()> g_clock;  // test seam; empty means the real clock

long nowSeconds() {
    if (g_clock) return g_clock();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec);
}

bool expired(const SessionSlot& s, long now) {
    return now > static_cast<long>(s.lastActivity) + static_cast<long>(s.timeout);
}

// Eight 16-bit values from the kernel's CSPRNG, formatted 8-4-4-4-12.
// false when the kernel cannot deliver them; no id is made then.
bool generateSessionId(char* out, std::size_t size) {
    std::uint16_t v[8];
    auto* p = reinterpret_cast<unsigned char*>(v);
    std::size_t got = 0;
    for (int attempts = 0; got < sizeof v && attempts < 16; ++attempts) {
        ssize_t n = getrandom(p + got, sizeof v - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            ERROR_LINE("getrandom failed errno=%d(%s)\n", errno, std::strerror(errno));
            return false;
        }
    }
    if (got < sizeof v) return false;
    std::snprintf(out, size, "%4.4x%4.4x-%4.4x-%4.4x-%4.4x-%4.4x%4.4x%4.4x",
                  v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
    return true;
}

void purgeExpired() {
    const long now = nowSeconds();
    for (auto& s : g_sessions) {
        if (s.timeout != 0 && s.lastActivity != 0 && s.id[0] != '\0' && expired(s, now))
            std::memset(s.id, 0, sizeof s.id);
    }
}

int findSlot(const char* id) {
    if (!id || id[0] == '\0') return -1;
    for (int i = 0; i < kSessionSlots; ++i) {
        if (g_sessions[i].id[0] != '\0' && std::strcmp(g_sessions[i].id, id) == 0) return i;
    }
    return -1;
}

}  // namespace

int add_new_session(const char* user, int timeout, const char** id_out) {
    std::lock_guard<std::mutex> lock(g_sessionsMutex);
    if (!user || !id_out || timeout <= 0) return -1;

    // The id is made before any slot is touched, so a failure changes nothing.
    char id[64] = {};
    if (!generateSessionId(id, sizeof id)) return -1;

    purgeExpired();
    int slot = 0;  // a full table gives up its slot 0
    for (int i = 0; i < kSessionSlots; ++i) {
        if (g_sessions[i].id[0] == '\0') {
            slot = i;
            break;
        }
    }

    SessionSlot& s = g_sessions[slot];
    const long now = nowSeconds();
    std::memset(s.user, 0, sizeof s.user);
    std::strncpy(s.user, user, sizeof s.user - 1);
    std::memcpy(s.id, id, sizeof s.id);
    *id_out = s.id;
    s.timeout = timeout;
    s.lastActivity = static_cast<std::int32_t>(now);
    return 0;
}

int find_saved_session(const char* id, const char* mode) {
    std::lock_guard<std::mutex> lock(g_sessionsMutex);
    const int i = findSlot(id);
    if (i < 0) return -1;
    SessionSlot& s = g_sessions[i];
    const long now = nowSeconds();
    if (expired(s, now)) {
        std::memset(s.id, 0, sizeof s.id);
        return -1;
    }
    if (mode && std::strcmp(mode, "set") == 0) s.lastActivity = static_cast<std::int32_t>(now);
    return i;
}

int delete_session_by_id(const char* id) {
    std::lock_guard<std::mutex> lock(g_sessionsMutex);
    const int i = findSlot(id);
    if (i < 0) return -1;
    std::memset(g_sessions[i].id, 0, sizeof g_sessions[i].id);
    std::memset(g_sessions[i].user, 0, sizeof g_sessions[i].user);
    return i;
}

void set_session_clock(std::function<long()> clock) {
    g_clock = std::move(clock);
}

void reset_sessions() {
    std::lock_guard<std::mutex> lock(g_sessionsMutex);
    std::memset(g_sessions, 0, sizeof g_sessions);
}
