#include "dispatch/worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "common/stop.h"

namespace dispatch {
namespace {

std::mutex mutex;
std::condition_variable queued;
std::deque<std::function<void()>> jobs;
bool stopping = false;
bool running = false;
std::thread thread;

void runJobs() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        queued.wait(lock, [] { return stopping || !jobs.empty(); });
        if (stopping) return;
        std::function<void()> job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
    }
}

}  // namespace

void startWorker() {
    std::lock_guard<std::mutex> lock(mutex);
    if (running) return;
    stop::clear();
    stopping = false;
    running = true;
    thread = std::thread(runJobs);
}

void stopWorker() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running) return;
        stopping = true;
        dropped.swap(jobs);
    }
    stop::raise();
    queued.notify_all();
    thread.join();
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
}

bool workerRunning() {
    std::lock_guard<std::mutex> lock(mutex);
    return running && !stopping;
}

bool postJob(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running || stopping) return false;
        jobs.push_back(std::move(job));
    }
    queued.notify_one();
    return true;
}

}  // namespace dispatch
