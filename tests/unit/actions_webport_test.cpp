// The web port: its parameter file, the get and set commands, and the probe against real sockets.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "actions/webport.h"
#include "storage_testdir.h"

std::string reasonOf(const JsonReply& reply) {
    JsonPtr root(cJSON_Parse(reply.value_or("").c_str()));
    const cJSON* r = cJSON_GetObjectItemCaseSensitive(root.get(), "Reason");
    return cJSON_IsString(r) ? r->valuestring : "<no reason>";
}

TEST(WebPort, GetCreatesTheDefaultAndSetStoresOnlyPortsOfOneTo65535) {
    TestDir t;
    const std::string file = t / "WebServerParameter.json";
    const auto get = actionGetPortParamAt, set = actionSetPortParamAt;
    const char *got = "Successfully to get params", *noGet = "Failed to get params";
    const char *done = "Successfully to set params", *noSet = "Failed to set params";
    const char *old = "{\"Port\": 8080, \"Name\": \"x\"}", *port80 = "{\n\t\"Port\":\t80\n}";
    const struct {
        decltype(get) action;
        const char *before, *body;  // before: the file (nullptr: none)
        int rc, port;               // port: 7 when left alone
        const char *reason, *after;  // after: nullptr when the file is unchanged
    } cases[] = {
        // The stored-port rules of start-up (missing, string, out of range, "port") are tested end to end.
        {get, nullptr, nullptr, 0, 80, got, port80}, {get, "{\"Port\": 65536}", nullptr, 0, 7, got, nullptr},
        {get, "", nullptr, 0, 80, got, port80}, {get, "{\"Port\": \"81\"}", nullptr, -1, 7, noGet, nullptr},
        {set, old, "{\"Port\": 0}", -1, 7, noSet, nullptr}, {set, old, "{\"Port\": 65536}", -1, 7, noSet, nullptr},
        {set, old, "{\"Port\": 1e10}", -1, 7, noSet, nullptr}, {set, old, "nonsense", -1, 7, noSet, nullptr},
        {set, old, "{\"port\": 81}", -1, 7, noSet, nullptr},  // keys are matched exactly
        {set, old, "{\"Port\": 65535}", 0, 65535, done, "{\n\t\"Port\":\t65535\n}"},  // other members are lost
        {set, old, nullptr, -1, 7, noSet, nullptr}, {set, old, "{\"Port\": true}", 0, 1, done, "{\n\t\"Port\":\t1\n}"}};
    for (const auto& c : cases) {
        std::filesystem::remove(file);
        if (c.before) t.file("WebServerParameter.json", c.before);
        JsonReply out;
        int port = 7;
        EXPECT_EQ(c.rc, c.action(file.c_str(), c.body, out, &port)) << c.before << " / " << c.body;
        EXPECT_EQ(c.port, port) << c.before << " / " << c.body;
        EXPECT_EQ(c.reason, reasonOf(out)) << c.before << " / " << c.body;
        EXPECT_EQ(c.after ? c.after : c.before, t.read("WebServerParameter.json")) << c.before << " / " << c.body;
    }
    JsonReply out;
    int port = 7;
    EXPECT_EQ(0, get(file.c_str(), nullptr, out, &port));
    EXPECT_EQ("{\n\t\"Result\":\t\"OK\",\n\t\"Reason\":\t\"Successfully to get params\",\n"
              "\t\"Parameters\":\t{\n\t\"Port\":\t1\n}\n}", *out);
    const std::string nowhere = t / "no/such/file.json";  // neither stored nor created there
    EXPECT_EQ(-1, set(nowhere.c_str(), "{\"Port\": 81}", out, &port));
    EXPECT_EQ(-1, get(nowhere.c_str(), nullptr, out, &port));
    EXPECT_EQ(1, port);
}

// A socket of the given kind bound to an ephemeral port of the loopback.
struct BoundSocket {
    int fd, port = 0;
    BoundSocket(int family, int type, bool listening) : fd(::socket(family, type, 0)) {
        sockaddr_in6 a{};  // large enough for both families
        a.sin6_family = static_cast<sa_family_t>(family);
        if (family == AF_INET) reinterpret_cast<sockaddr_in*>(&a)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        else a.sin6_addr = in6addr_loopback;
        socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || (listening && ::listen(fd, 1) != 0)) return;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin6_port);  // at the same offset as sin_port
    }
    ~BoundSocket() { ::close(fd); }
};

std::string probe(int port) {
    JsonReply out;
    actionGetPortStatus(("{\"Port\": " + std::to_string(port) + "}").c_str(), out);
    return reasonOf(out);
}

TEST(PortProbe, ListeningTcpAndBoundUdpSocketsAreInUse) {
    BoundSocket tcp(AF_INET, SOCK_STREAM, true), udp(AF_INET, SOCK_DGRAM, false);
    BoundSocket idle(AF_INET, SOCK_STREAM, false), tcp6(AF_INET6, SOCK_STREAM, true);
    ASSERT_TRUE(tcp.port && udp.port && idle.port);
    EXPECT_EQ("http port in use", probe(tcp.port));
    EXPECT_EQ("http port in use", probe(udp.port));
    EXPECT_EQ("Port available", probe(idle.port));  // bound but not listening: netstat -l leaves it out
    EXPECT_TRUE(!tcp6.port || probe(tcp6.port) == "http port in use");

    JsonReply out;
    const char* bodies[] = {nullptr, "{\"port\": \"80\"}", "{\"Port\": 0}", "{\"Port\": 70000}"};
    for (const char* body : bodies) {
        EXPECT_EQ(-1, actionGetPortStatus(body, out)) << body;
        EXPECT_EQ("Failed to get params", reasonOf(out)) << body;
    }
}
