// Requests reaching the action handler: raw URL, keep-alive, the answers the layer gives itself, bodies in memory,
// spooled or refused. (Multipart uploads, suspended requests answered from the command thread, the head gate refusing
// large bodies and a stop dropping a waiting one are tested end to end.)
#include <gtest/gtest.h>

#include <optional>

#include "web_test_support.h"

using namespace webtest;
using namespace std::chrono_literals;

struct Seen {
    std::string request, body, file, content;  // content: of the spooled body
    std::uint64_t length = 0;
};

// Bodies up to 1000 bytes stay in memory, up to 10000 are taken; the handler
// records what it saw and answers with the number of requests so far.
class WebRequest : public ::testing::Test {
protected:
    void handle(web::Request& r) {
        seen.push_back({r.method() + " " + r.url() + " " + r.clientAddress(), std::string(r.body()), r.bodyFile(),
                        r.bodyFile().empty() ? "" : readFile(r.bodyFile()), r.bodyLength()});
        if (r.url() == "/action/device/throws") throw std::runtime_error("boom");
        if (r.url() == "/action/device/none") return;
        if (r.url() == "/action/device/move") fs::rename(r.bodyFile(), site / "moved");
        if (r.url() == "/action/device/twice") r.respond(404, "text/plain", "Missing action name");
        r.respond(200, "application/json", std::to_string(seen.size()));  // ignored after the first
        EXPECT_TRUE(r.responded());
    }
    Site site;
    std::vector<Seen> seen;
    RunningServer srv{site, [this](web::Request& r) { handle(r); }, {.maxBody = 10000, .memoryBody = 1000}};
};

// The payload as one chunk: the layer learns the body size only while reading.
std::string chunked(const std::string& target, const std::string& payload) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", payload.size());
    return "POST " + target + " HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n" + size + payload +
           "\r\n0\r\n\r\n";
}

// One connection carries every request, whatever the handler did with the previous one.
TEST_F(WebRequest, HandlerSeesTheRawUrlAndTheLayerAnswersWhatItLeavesOpen) {
    const std::tuple<std::string, int, std::string> steps[] = {
        {get("/action/device/x?a=%23FF&b=1"), 200, "1"}, {get("/login.html"), 200, "<html>login</html>\n"},
        {post("/action/device/n", "{}"), 200, "2"}, {get("/action/device/none"), 500, ""},
        {get("/action/device/throws"), 500, ""}, {get("/action/device/twice"), 404, "Missing action name"},
        {get("/action/other/x"), 404, ""},  // routed to an action nobody defined
        {get("/action/device/n"), 200, "6"}};
    Client c(srv.port());
    for (const auto& [request, status, body] : steps) {
        Response r = c.ask(request);
        EXPECT_EQ(status, r.status) << request;
        EXPECT_TRUE(body.empty() || body == r.body) << request << r.body;
        EXPECT_TRUE(body.size() != 1 || r.header("Content-Type") == "application/json") << request;
    }
    ASSERT_EQ(6u, seen.size());
    EXPECT_EQ("GET /action/device/x?a=%23FF&b=1 127.0.0.1", seen[0].request);
    EXPECT_EQ("POST /action/device/n 127.0.0.1", seen[1].request);
}

// Spooled bodies live in the temporary folder while the request lasts, unless the handler moves them away.
TEST_F(WebRequest, BodiesInMemorySpooledOrRefused) {
    std::string data(16000, 0), small("{\"a\":1}\0tail", 12);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i * 7 % 26);
    auto part = [&](std::size_t n) { return data.substr(0, n); };
    const std::tuple<std::string, int, std::string, bool> cases[] = {  // request, status, body seen, spooled
        {post("/action/device/x", small), 200, small, false},
        {post("/action/device/x", part(1000)), 200, part(1000), false},
        {post("/action/device/x", part(1001)), 200, part(1001), true},
        {chunked("/action/device/x", part(1001)), 200, part(1001), true},
        {post("/action/device/move", part(5000)), 200, part(5000), true},
        {post("/action/device/x", part(10000)), 200, part(10000), true},
        {"POST /action/device/x HTTP/1.1\r\nHost: t\r\nContent-Length: 10001\r\n\r\n", 413, "", false},
        {chunked("/action/device/x", data), 413, "", false},
    };
    for (const auto& [request, status, payload, spooled] : cases) {
        seen.clear();
        EXPECT_EQ(status, fetch(srv.port(), request).status);
        ASSERT_EQ(status == 200, seen.size() == 1);
        if (status != 200) continue;
        EXPECT_EQ(payload.size(), seen[0].length);
        EXPECT_EQ(spooled ? "" : payload, seen[0].body);
        EXPECT_EQ(spooled ? payload : "", seen[0].content);
        EXPECT_EQ(spooled, seen[0].file.starts_with(site / "spool/")) << seen[0].file;
        EXPECT_FALSE(fs::exists(seen[0].file));
    }
    EXPECT_EQ(part(5000), readFile(site / "moved"));
    EXPECT_EQ(0, countEntries(site / "spool"));

    // A body cut short by the client going away, or by the server stopping.
    auto spooledFiles = [&](long n) {
        for (int i = 0; i < 200 && countEntries(site / "spool") != n; ++i) std::this_thread::sleep_for(5ms);
        return countEntries(site / "spool");
    };
    const std::string half = post("/action/device/x", part(9000)).substr(0, 5000);
    std::optional<Client> c(srv.port());
    c->send(half);
    EXPECT_EQ(1, spooledFiles(1));
    c.reset();
    EXPECT_EQ(0, spooledFiles(0));
    c.emplace(srv.port()).send(half);
    EXPECT_EQ(1, spooledFiles(1));
    srv.stop();
    EXPECT_EQ(0, countEntries(site / "spool"));
    EXPECT_TRUE(seen.empty());
}
