#include "common/stop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace stop {
namespace {

std::mutex mutex;
std::condition_variable changed;
std::atomic<bool> flag{false};

int eventFd() {
    static const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

}  // namespace

void raise() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (flag.exchange(true)) return;
        const std::uint64_t one = 1;
        if (::write(eventFd(), &one, sizeof one) < 0) {
            // Nothing to do: the flag is set, polls time out soon enough.
        }
    }
    changed.notify_all();
}

void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!flag.exchange(false)) return;
    std::uint64_t value = 0;
    if (::read(eventFd(), &value, sizeof value) < 0) {
        // Already drained.
    }
}

bool raised() {
    return flag.load();
}

int pollFd() {
    return eventFd();
}

bool pause(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_for(lock, duration, [] { return flag.load(); });
}

}  // namespace stop
