#include "accounts/throttle.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::chrono_literals;
using throttle::Clock;
using throttle::Guard;

class Throttle : public ::testing::Test {
protected:
    Clock::time_point now{};
    Guard guard{3, [this] { return now; }};

    void fail(const char* address, int times) {
        for (int i = 0; i < times; ++i) {
            ASSERT_TRUE(guard.allowed(address)) << i;
            guard.failed(address);
        }
    }
};

TEST_F(Throttle, FiveFailuresOpenAWindowThatDoublesUpToFiveMinutes) {
    fail("a", 5);
    EXPECT_FALSE(guard.allowed("a"));
    EXPECT_TRUE(guard.allowed("b"));  // per address
    // Each failure after a window has run out doubles the next one: 1 s, 2 s, ... 300 s.
    for (auto window : {1000ms, 2000ms, 4000ms, 8000ms, 16000ms, 32000ms, 64000ms, 128000ms, 256000ms,
                        300000ms, 300000ms}) {
        now += window - 1ms;
        EXPECT_FALSE(guard.allowed("a")) << window.count();
        now += 1ms;
        ASSERT_TRUE(guard.allowed("a")) << window.count();
        guard.failed("a");
    }
    // A success forgets the address: five more free checks.
    now += 300s;
    guard.succeeded("a");
    fail("a", 4);
    EXPECT_TRUE(guard.allowed("a"));
}

TEST_F(Throttle, SuccessBetweenFailuresResetsTheCountAndTheTableIsBounded) {
    fail("a", 4);
    guard.succeeded("a");
    fail("a", 4);
    EXPECT_TRUE(guard.allowed("a"));

    for (const char* other : {"b", "c", "d"}) {  // a fourth address: "a", whose last failure is the oldest, makes room
        now += 1ms;
        fail(other, other[0] == 'b' ? 5 : 1);
    }
    EXPECT_EQ(guard.size(), 3u);
    EXPECT_FALSE(guard.allowed("b"));
    fail("a", 4);  // counted from one again
    EXPECT_TRUE(guard.allowed("a"));
}
