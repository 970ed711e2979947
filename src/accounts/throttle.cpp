#include "accounts/throttle.h"

#include <algorithm>

#include "common/diag.h"

namespace throttle {

Guard::Guard(std::size_t capacity, std::function<Clock::time_point()> now)
    : capacity_(capacity == 0 ? 1 : capacity), now_(std::move(now)) {}

Guard::Entry* Guard::find(std::string_view address) {
    for (Entry& e : entries_)
        if (e.address == address) return &e;
    return nullptr;
}

bool Guard::allowed(std::string_view address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
        if (e.address != address) continue;
        if (e.failures < kFreeFailures) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(e.until - now_());
        if (left.count() <= 0) return true;
        ERROR_LINE("%d failed password checks from %.*s: refused for %lld ms more\n", e.failures,
                   static_cast<int>(address.size()), address.data(), static_cast<long long>(left.count()));
        return false;
    }
    return true;
}

void Guard::failed(std::string_view address) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = now_();
    Entry* e = find(address);
    if (!e) {
        if (entries_.size() >= capacity_) {
            auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                           [](const Entry& a, const Entry& b) { return a.last < b.last; });
            entries_.erase(oldest);
        }
        entries_.push_back(Entry{std::string(address), 0, now, now});
        e = &entries_.back();
    }
    e->failures++;
    e->last = now;
    if (e->failures >= kFreeFailures) {
        // 1 s at the fifth failure, doubled for each one after it.
        const int doublings = std::min(e->failures - kFreeFailures, 16);
        const auto window = std::min<std::chrono::milliseconds>(kFirstWindow * (1 << doublings), kLongestWindow);
        e->until = now + window;
    }
}

void Guard::succeeded(std::string_view address) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.address == address; });
}

Guard& passwordGuard() {
    static Guard guard;
    return guard;
}

}  // namespace throttle
