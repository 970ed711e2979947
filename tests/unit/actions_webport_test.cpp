#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "actions/webport.h"

namespace {

std::string reasonOf(const JsonReply& reply) {
    if (!reply) return "<none>";
    JsonPtr root(cJSON_Parse(reply->c_str()));
    const cJSON* r = cJSON_GetObjectItemCaseSensitive(root.get(), "Reason");
    return cJSON_IsString(r) ? r->valuestring : "<no reason>";
}

TEST(PortReader, AcceptsNumbersAndTrueOnly) {
    int port = -9;
    EXPECT_EQ(getPortFormatFromJSON(nullptr, &port), -2);
    EXPECT_EQ(getPortFormatFromJSON("{}", nullptr), -2);
    EXPECT_EQ(getPortFormatFromJSON("not json", &port), -15);
    EXPECT_EQ(getPortFormatFromJSON("{}", &port), -2);
    EXPECT_EQ(getPortFormatFromJSON("{\"Port\": \"81\"}", &port), -2);
    EXPECT_EQ(getPortFormatFromJSON("{\"Port\": false}", &port), -2);
    EXPECT_EQ(port, -9);
    EXPECT_EQ(getPortFormatFromJSON("{\"Port\": true}", &port), 0);
    EXPECT_EQ(port, 1);
    EXPECT_EQ(getPortFormatFromJSON("{\"Port\": 8080, \"x\": 1}", &port), 0);
    EXPECT_EQ(port, 8080);
}

TEST(PortBuilder, MinusOneMeansTheDefaultPort) {
    JsonReply out;
    ASSERT_EQ(formatPortParamJSON(out, -1), 0);
    EXPECT_EQ(*out, "{\n\t\"Port\":\t80\n}");
    ASSERT_EQ(formatPortParamJSON(out, 8081), 0);
    EXPECT_EQ(*out, "{\n\t\"Port\":\t8081\n}");
}

class PortFile : public ::testing::Test {
protected:
    std::string dir;
    std::string file;

    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "webportXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        file = dir + "/WebServerParameter.json";
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    void write(const std::string& text) { std::ofstream(file, std::ios::trunc) << text; }
    std::string read() const {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

TEST_F(PortFile, MissingFileIsCreatedWithPort80) {
    JsonReply out;
    int port = -1;
    ASSERT_EQ(actionGetPortParamAt(file.c_str(), nullptr, out, &port), 0);
    EXPECT_EQ(port, 80);
    EXPECT_EQ(read(), "{\n\t\"Port\":\t80\n}");
    EXPECT_EQ(*out,
              "{\n\t\"Result\":\t\"OK\",\n\t\"Reason\":\t\"Successfully to get params\",\n"
              "\t\"Parameters\":\t{\n\t\"Port\":\t80\n}\n}");

    // An empty file is treated like a missing one.
    write("");
    port = -1;
    ASSERT_EQ(actionGetPortParamAt(file.c_str(), nullptr, out, &port), 0);
    EXPECT_EQ(port, 80);
}

TEST_F(PortFile, ExtraMembersAreAnsweredAndLostOnSet) {
    write("{\"Port\": 81, \"Name\": \"x\"}");
    JsonReply out;
    int port = -1;
    ASSERT_EQ(actionGetPortParamAt(file.c_str(), nullptr, out, &port), 0);
    EXPECT_EQ(port, 81);
    JsonPtr root(cJSON_Parse(out->c_str()));
    const cJSON* params = cJSON_GetObjectItemCaseSensitive(root.get(), "Parameters");
    EXPECT_TRUE(cJSON_IsString(cJSON_GetObjectItemCaseSensitive(params, "Name")));

    ASSERT_EQ(actionSetPortParamAt(file.c_str(), "{\"Port\": 82}", out, &port), 0);
    EXPECT_EQ(reasonOf(out), "Successfully to set params");
    EXPECT_EQ(port, 82);
    EXPECT_EQ(read(), "{\n\t\"Port\":\t82\n}");
}

TEST_F(PortFile, UnreadablePortFailsAndLeavesThePlace) {
    write("{\"Port\": \"81\"}");
    JsonReply out;
    int port = -1;
    EXPECT_EQ(actionGetPortParamAt(file.c_str(), nullptr, out, &port), -1);
    EXPECT_EQ(reasonOf(out), "Failed to get params");
    EXPECT_EQ(port, -1);
}

TEST_F(PortFile, StoredPortOutsideRangeIsNotOffered) {
    for (const char* text : {"{\"Port\": 0}", "{\"Port\": 65536}", "{\"Port\": -1}"}) {
        write(text);
        JsonReply out;
        int port = -1;
        EXPECT_EQ(actionGetPortParamAt(file.c_str(), nullptr, out, &port), 0) << text;
        EXPECT_EQ(port, -1) << text;
        EXPECT_EQ(reasonOf(out), "Successfully to get params");
        EXPECT_EQ(read(), text);
    }
}

TEST_F(PortFile, SetRefusesPortsOutsideRange) {
    write("{\"Port\": 8080}");
    for (const char* body : {"{\"Port\": 0}", "{\"Port\": 65536}", "{\"Port\": -80}",
                             "{\"Port\": 1e10}", "{\"Port\": \"81\"}", "nonsense"}) {
        JsonReply out;
        int port = 8080;
        EXPECT_EQ(actionSetPortParamAt(file.c_str(), body, out, &port), -1) << body;
        EXPECT_EQ(reasonOf(out), "Failed to set params");
        EXPECT_EQ(port, 8080);
        EXPECT_EQ(read(), "{\"Port\": 8080}");
    }
    JsonReply out;
    int port = 8080;
    EXPECT_EQ(actionSetPortParamAt(file.c_str(), nullptr, out, &port), -1);
    EXPECT_EQ(actionSetPortParamAt(file.c_str(), "{\"Port\": 65535}", out, &port), 0);
    EXPECT_EQ(port, 65535);
    EXPECT_EQ(actionSetPortParamAt(file.c_str(), "{\"Port\": true}", out, &port), 0);
    EXPECT_EQ(port, 1);
}

TEST_F(PortFile, SetFailsWhenTheFileCannotBeWritten) {
    const std::string missing = dir + "/no/such/dir/file.json";
    JsonReply out;
    int port = 80;
    EXPECT_EQ(actionSetPortParamAt(missing.c_str(), "{\"Port\": 81}", out, &port), -1);
    EXPECT_EQ(reasonOf(out), "Failed to set params");
    EXPECT_EQ(port, 80);
    // Reading cannot create the default there either.
    port = -1;
    EXPECT_EQ(actionGetPortParamAt(missing.c_str(), nullptr, out, &port), -1);
    EXPECT_EQ(port, -1);
}

// A socket of the given kind bound to an ephemeral port of the loopback.
struct BoundSocket {
    int fd = -1;
    int port = 0;
    BoundSocket(int family, int type, bool listening) {
        fd = ::socket(family, type, 0);
        if (fd < 0) return;
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET) {
            auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
            sin->sin_family = AF_INET;
            sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *sin;
        } else {
            auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
            sin6->sin6_family = AF_INET6;
            sin6->sin6_addr = in6addr_loopback;
            len = sizeof *sin6;
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
            (listening && ::listen(fd, 1) != 0)) {
            ::close(fd);
            fd = -1;
            return;
        }
        len = sizeof ss;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                       : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    }
    ~BoundSocket() {
        if (fd >= 0) ::close(fd);
    }
};

std::string probe(int port) {
    JsonReply out;
    actionGetPortStatus(("{\"Port\": " + std::to_string(port) + "}").c_str(), out);
    return reasonOf(out);
}

TEST(PortProbe, ListeningTcpAndBoundUdpSocketsAreInUse) {
    int freed;
    {
        BoundSocket tcp(AF_INET, SOCK_STREAM, true);
        ASSERT_GE(tcp.fd, 0);
        EXPECT_EQ(probe(tcp.port), "http port in use");
        freed = tcp.port;
    }
    EXPECT_EQ(probe(freed), "Port available");

    BoundSocket udp(AF_INET, SOCK_DGRAM, false);
    ASSERT_GE(udp.fd, 0);
    EXPECT_EQ(probe(udp.port), "http port in use");

    // Bound but not listening: netstat -l does not list it either.
    BoundSocket idle(AF_INET, SOCK_STREAM, false);
    ASSERT_GE(idle.fd, 0);
    EXPECT_EQ(probe(idle.port), "Port available");

    BoundSocket tcp6(AF_INET6, SOCK_STREAM, true);
    if (tcp6.fd >= 0) {
        EXPECT_EQ(probe(tcp6.port), "http port in use");
    }
}

TEST(PortProbe, BadRequestsFail) {
    JsonReply out;
    EXPECT_EQ(actionGetPortStatus(nullptr, out), -1);
    EXPECT_EQ(reasonOf(out), "Failed to get params");
    EXPECT_EQ(actionGetPortStatus("{\"port\": \"80\"}", out), -1);
    EXPECT_EQ(reasonOf(out), "Failed to get params");
    EXPECT_EQ(probe(0), "Failed to get params");
    EXPECT_EQ(probe(70000), "Failed to get params");
}

}  // namespace
