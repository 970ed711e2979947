// Opening, loading, listening, stopping and closing the web layer; bounded
// connections; no descriptors or memory left behind over many restarts.
#include <gtest/gtest.h>
#include <malloc.h>

#include "web_test_support.h"

using namespace webtest;
using namespace std::chrono_literals;

namespace {

class WebLifecycle : public ::testing::Test {
protected:
    void SetUp() override { makeSite(dir); }
    TempDir dir;
};

std::size_t openDescriptors() { return countEntries("/proc/self/fd"); }

TEST_F(WebLifecycle, OpenNeedsDocumentRootAndReadableRouteFile) {
    web::Server s;
    EXPECT_LT(s.open(dir / "missing", dir / "web_root/config/route.txt"), 0);
    EXPECT_LT(s.open(dir / "web_root", dir / "web_root/config/none.txt"), 0);
    EXPECT_LT(s.open(dir / "web_root", dir / "web_root/config"), 0);  // a directory
    // Lines the format does not know make the whole file fail.
    for (const char* bad : {"action /action/device/\n", "static / extra\n", "route / device\n",
                            "static relative/\n", "# only comments\n\n", ""}) {
        writeFile(dir / "bad_route.txt", bad);
        EXPECT_LT(s.open(dir / "web_root", dir / "bad_route.txt"), 0) << bad;
    }
    EXPECT_EQ(0, s.open(dir / "web_root", dir / "web_root/config/route.txt"));
    EXPECT_EQ(dir / "web_root", s.getDocuments());
    s.close();
    EXPECT_EQ("", s.getDocuments());
    EXPECT_LT(s.listen("http://127.0.0.1:20999"), 0);  // closed: nothing to serve
}

TEST_F(WebLifecycle, LoadNeedsReadableAuthenticationFile) {
    web::Server s;
    ASSERT_EQ(0, s.open(dir / "web_root", dir / "web_root/config/route.txt"));
    EXPECT_LT(s.load(dir / "web_root/config/missing.txt"), 0);
    EXPECT_LT(s.load(dir / "web_root/config"), 0);
    writeFile(dir / "bad_auth.txt", "allow /\n");
    EXPECT_LT(s.load(dir / "bad_auth.txt"), 0);
    writeFile(dir / "bad_auth.txt", "deny\n");
    EXPECT_LT(s.load(dir / "bad_auth.txt"), 0);
    writeFile(dir / "empty_auth.txt", "");
    EXPECT_EQ(0, s.load(dir / "empty_auth.txt"));
    EXPECT_EQ(0, s.load(dir / "web_root/config/auth.txt"));
}

TEST_F(WebLifecycle, ListenTakesBothEndpointFormsAndRefusesABusyPort) {
    web::Server a, b;
    ASSERT_EQ(0, a.open(dir / "web_root", dir / "web_root/config/route.txt"));
    ASSERT_EQ(0, b.open(dir / "web_root", dir / "web_root/config/route.txt"));
    int port = 0, id = -1;
    for (int p = 20000 + getpid() % 9000; id < 0 && p < 29999; p += 13) {
        id = a.listen("http://*:" + std::to_string(p));
        port = p;
    }
    ASSERT_GE(id, 0);
    EXPECT_GE(web::socketGetHandle(id), 0);
    {
        Client c(port);  // "*" includes the loopback address
        EXPECT_TRUE(c.connected());
    }
    EXPECT_LT(a.listen("http://127.0.0.1:" + std::to_string(port + 1)), 0);  // one listener
    EXPECT_LT(b.listen("http://127.0.0.1:" + std::to_string(port)), 0);     // in use
    for (const char* bad : {"127.0.0.1:80", "http://localhost:80", "http://*:", "http://*:70000",
                            "https://*:443", "http://[::1]:80"}) {
        EXPECT_LT(b.listen(bad), 0) << bad;
    }
    a.close();
    EXPECT_EQ(-1, web::socketGetHandle(id));
    int id2 = b.listen("http://127.0.0.1:" + std::to_string(port));
    EXPECT_GE(id2, 0);
    EXPECT_NE(id, id2);
}

TEST_F(WebLifecycle, StopWakesAtOnceWithIdleAndHalfSentConnections) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    Client idle(srv.port()), half(srv.port()), body(srv.port());
    ASSERT_TRUE(idle.connected() && half.connected() && body.connected());
    half.send("GET /login.html HTTP/1.1\r\nHost:");
    body.send("POST /action/device/x HTTP/1.1\r\nHost: t\r\nContent-Length: 100\r\n\r\n{\"a\":");
    std::this_thread::sleep_for(50ms);
    auto took = srv.stop();
    EXPECT_LT(took.count(), 300);
    EXPECT_TRUE(idle.closedByPeer());
    EXPECT_TRUE(body.closedByPeer());
}

TEST_F(WebLifecycle, WakeListenerEndsTheLoopWithoutShutdown) {
    web::Server s;
    ASSERT_EQ(0, s.open(dir / "web_root", dir / "web_root/config/route.txt"));
    int id = -1;
    for (int p = 21000 + getpid() % 8000; id < 0 && p < 29999; p += 7)
        id = s.listen("http://127.0.0.1:" + std::to_string(p));
    ASSERT_GE(id, 0);
    std::atomic<int> finished{0};
    std::thread t([&] { s.serviceEvents(finished); });
    std::this_thread::sleep_for(30ms);
    auto start = std::chrono::steady_clock::now();
    finished = 1;
    web::wakeListener(id);
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);
}

TEST_F(WebLifecycle, StuckClientsDoNotHoldUpOthers) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    srv.onAction([](web::Request& r) { r.respond(200, "application/json", "{}"); });
    Client idle(srv.port()), half(srv.port()), slowBody(srv.port());
    half.send("GET /login.html HTTP/1.1\r\nHo");
    slowBody.send("POST /action/device/x HTTP/1.1\r\nHost: t\r\nContent-Length: 1000\r\n\r\nabc");
    std::this_thread::sleep_for(20ms);
    auto start = std::chrono::steady_clock::now();
    auto r = fetch(srv.port(), get("/login.html"));
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    r = fetch(srv.port(), get("/action/device/y"));
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST_F(WebLifecycle, ConnectionsAreBoundedAndIdleOnesTimeOut) {
    web::Limits limits;
    limits.maxConnections = 3;
    limits.idleTimeoutSeconds = 1;
    RunningServer srv(dir, limits);
    ASSERT_TRUE(srv.ok());
    Client a(srv.port()), b(srv.port()), c(srv.port());
    ASSERT_TRUE(a.send(get("/login.html")) && a.read());  // all three slots are taken
    ASSERT_TRUE(b.send(get("/login.html")) && b.read());
    ASSERT_TRUE(c.send(get("/login.html")) && c.read());
    Client extra(srv.port(), 400);
    ASSERT_TRUE(extra.send(get("/login.html")));
    EXPECT_FALSE(extra.read());  // waits in the backlog while the slots are taken
    // Idle connections are closed after the time-out, which frees the slots.
    extra.setTimeout(3000);
    auto r = extra.read();
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_TRUE(a.closedByPeer());
}

TEST_F(WebLifecycle, OneAddressCannotTakeEverySlot) {
    web::Limits limits;
    limits.maxConnections = 10;
    limits.maxConnectionsPerIp = 2;
    RunningServer srv(dir, limits);
    ASSERT_TRUE(srv.ok());
    Client a(srv.port()), b(srv.port());
    ASSERT_TRUE(a.send(get("/login.html")) && a.read());
    ASSERT_TRUE(b.send(get("/login.html")) && b.read());
    Client third(srv.port(), 2000);
    third.send(get("/login.html"));
    EXPECT_FALSE(third.read());
    EXPECT_TRUE(third.closedByPeer());
}

TEST_F(WebLifecycle, HeadersOverTheConnectionMemoryAreRefused) {
    web::Limits limits;
    limits.connectionMemory = 16 * 1024;
    RunningServer srv(dir, limits);
    ASSERT_TRUE(srv.ok());
    auto r = fetch(srv.port(), get("/login.html", "X-Big: " + std::string(40000, 'q') + "\r\n"));
    if (r) {
        EXPECT_GE(r->status, 400);  // or the connection is simply closed
    }
    r = fetch(srv.port(), get("/login.html"));
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
}

// One full life of a server on its own thread; with `client`, an idle
// connection stays open across the stop.
void oneCycle(const TempDir& dir, int port, bool client, bool reuse, web::Server& shared) {
    web::Server own;
    web::Server& s = reuse ? shared : own;
    ASSERT_EQ(0, s.open(dir / "web_root", dir / "web_root/config/route.txt"));
    ASSERT_EQ(0, s.load(dir / "web_root/config/auth.txt"));
    s.setIndex("login.html");
    int id = s.listen("http://127.0.0.1:" + std::to_string(port));
    ASSERT_GE(id, 0) << port;
    s.defineAction("device", [](web::Request& r) { r.respond(200, "application/json", "{}"); });
    std::atomic<int> finished{0};
    std::thread t([&] { s.serviceEvents(finished); });
    {
        auto r = fetch(port, get("/action/device/ping"));
        ASSERT_TRUE(r);
        EXPECT_EQ(200, r->status);
        std::optional<Client> idle;
        if (client) {
            idle.emplace(port);
            idle->send(get("/login.html"));
            ASSERT_TRUE(idle->read());
        }
        finished = 1;
        ::shutdown(web::socketGetHandle(id), SHUT_RDWR);
        t.join();
    }
    s.close();
}

TEST_F(WebLifecycle, HundredRestartsLeaveNoDescriptorsOrMemoryBehind) {
    int port = 0;
    {
        web::Server probe;
        ASSERT_EQ(0, probe.open(dir / "web_root", dir / "web_root/config/route.txt"));
        for (int p = 22000 + getpid() % 7000; port == 0 && p < 29999; p += 11) {
            if (probe.listen("http://127.0.0.1:" + std::to_string(p)) >= 0) port = p;
        }
    }
    ASSERT_NE(0, port);
    web::Server shared;
    oneCycle(dir, port, true, true, shared);  // warm-up: first allocations of libraries
    oneCycle(dir, port, true, false, shared);
    std::size_t fdsBefore = openDescriptors();
    struct mallinfo2 before = mallinfo2();
    for (int i = 0; i < 100; ++i) {
        oneCycle(dir, port, i % 3 == 0, i % 2 == 0, shared);
        if (HasFatalFailure()) return;
    }
    struct mallinfo2 after = mallinfo2();
    EXPECT_EQ(fdsBefore, openDescriptors());
    auto used = [](const struct mallinfo2& m) { return m.uordblks + m.hblkhd; };
    EXPECT_LT(used(after), used(before) + 64 * 1024)
        << "heap in use grew from " << used(before) << " to " << used(after);
}

}  // namespace
