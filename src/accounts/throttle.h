// Slows down password guessing, per client address.
//
// After kFreeFailures failed checks in a row from one address, every further
// check from it within a back-off window is refused at once, without asking
// anyone about the password. The window starts at 1 s and doubles with each
// failure after it has run out, up to 5 min; a successful check forgets the
// address. Nothing here sleeps: the caller answers a refused check at once.
//
// The table holds at most `capacity` addresses; a new address beyond that
// takes the place of the one whose last failure is the oldest.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace throttle {

using Clock = std::chrono::steady_clock;

class Guard {
public:
    static constexpr int kFreeFailures = 5;
    static constexpr std::chrono::milliseconds kFirstWindow{1000};
    static constexpr std::chrono::milliseconds kLongestWindow{5 * 60 * 1000};
    static constexpr std::size_t kDefaultCapacity = 256;

    // `now` replaces the steady clock (tests move it by hand).
    explicit Guard(std::size_t capacity = kDefaultCapacity,
                   std::function<Clock::time_point()> now = Clock::now);

    // False (after an error line) while `address` is in its back-off
    // window: the check is refused without being made.
    bool allowed(std::string_view address) const;
    // The outcome of a check that was made.
    void failed(std::string_view address);
    void succeeded(std::string_view address);
    void note(std::string_view address, bool passed) { passed ? succeeded(address) : failed(address); }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_.size();
    }

private:
    struct Entry {
        std::string address;
        int failures = 0;           // in a row
        Clock::time_point last;     // of the last failure
        Clock::time_point until;    // end of the back-off window
    };
    Entry* find(std::string_view address);

    std::size_t capacity_;
    std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;  // the server thread and the command thread both check
    std::vector<Entry> entries_;
};

// The one guard of the process, shared by the login, the URL credential check
// and the credential gate of the uploads.
Guard& passwordGuard();

}  // namespace throttle
