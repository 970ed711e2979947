// Slow clients closed, prompt stops, and no descriptors or memory left behind
// over many restarts. (The connection limits are tested end to end.)
#include <gtest/gtest.h>
#include <malloc.h>

#include <optional>

#include "web_test_support.h"

using namespace webtest;
using namespace std::chrono_literals;

void answerEmpty(web::Request& r) { r.respond(200, "application/json", "{}"); }

// A head must arrive within the head time (from the connection's start or the last answer), a body at minBodyRate once
// it took as long; the rest closes. A steady body is read whole.
TEST(WebLifecycle, SlowHeadsAndBodiesAreClosed) {
    Site site;
    RunningServer srv(site, answerEmpty, {.headTimeoutSeconds = 1, .minBodyRate = 1000});
    Client silent(srv.port()), partial(srv.port()), idle(srv.port()), stalled(srv.port()), steady(srv.port());
    partial.send("GET /login.html HTTP/1.1\r\nHo");
    ASSERT_EQ(200, idle.ask(get("/login.html")).status);
    stalled.send("POST /action/device/x HTTP/1.1\r\nHost: t\r\nContent-Length: 9000\r\n\r\nabc");
    steady.send("POST /action/device/x HTTP/1.1\r\nHost: t\r\nContent-Length: 3000\r\n\r\n");
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i) {  // 1500 bytes/s for 2 s
        std::this_thread::sleep_for(250ms);
        steady.send(std::string(375, 'x'));
    }
    EXPECT_EQ(200, steady.read().status);
    for (Client* c : {&silent, &partial, &idle, &stalled}) EXPECT_TRUE(c->closedByPeer());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

// Each stop ends the loop at once, with an idle and a half-sent request open
// on every third cycle, by shutting the listener down or only by waking it.
TEST(WebLifecycle, HundredPromptRestartsLeaveNoDescriptorsOrMemoryBehind) {
    Site site;
    auto cycle = [&](int i) {
        RunningServer srv(site, answerEmpty);
        EXPECT_EQ(200, fetch(srv.port(), get("/action/device/ping")).status);
        std::optional<Client> idle, half;
        if (i % 3 == 0) {
            half.emplace(srv.port()).send("POST /action/device/x HTTP/1.1\r\nHost: t\r\nContent-Length: 100\r\n\r\n{");
            EXPECT_EQ(200, idle.emplace(srv.port()).ask(get("/login.html")).status);  // the half is read by now
        }
        auto start = std::chrono::steady_clock::now();
        srv.stop(i % 2 == 1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms) << "cycle " << i;
        EXPECT_TRUE(!idle || idle->closedByPeer());
        EXPECT_TRUE(!half || half->closedByPeer());
    };
    cycle(0);  // warm-up: first allocations of the libraries
    const long fdsBefore = countEntries("/proc/self/fd");
    const struct mallinfo2 before = mallinfo2();
    for (int i = 0; i < 100 && !HasFailure(); ++i) cycle(i);
    const struct mallinfo2 after = mallinfo2();
    EXPECT_EQ(fdsBefore, countEntries("/proc/self/fd"));
    auto used = [](const struct mallinfo2& m) { return m.uordblks + m.hblkhd; };
    EXPECT_LT(used(after), used(before) + 64 * 1024) << "heap grew from " << used(before) << " to " << used(after);
}
