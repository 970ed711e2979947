// The command thread: jobs run one at a time in arrival order, and stopping
// ends a waiting job at once and drops the queued ones.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "common/stop.h"
#include "dispatch/worker.h"

using namespace std::chrono_literals;

TEST(Worker, RunsInOrderAndStopsAWaitAtOnce) {
    dispatch::startWorker();
    std::mutex m;
    std::vector<int> order;
    std::atomic<int> done{0};
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(dispatch::postJob([&, i] {
            std::lock_guard<std::mutex> lock(m);
            order.push_back(i);
            ++done;
        }));
    while (done < 5) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));

    std::atomic<bool> waiting{false}, cut{false}, dropped{true};
    dispatch::postJob([&] {
        waiting = true;
        cut = !stop::pause(60s);
    });
    dispatch::postJob([&] { dropped = false; });
    while (!waiting) std::this_thread::sleep_for(1ms);
    const auto t0 = std::chrono::steady_clock::now();
    dispatch::stopWorker();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_TRUE(cut);
    EXPECT_TRUE(dropped);
    EXPECT_FALSE(dispatch::postJob([] {}));
}
