// The request/reply exchange against small in-process applications bound on
// ipc addresses in a private temporary folder.
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/pair.h>
#include <nanomsg/reqrep.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "ipc/exchange.h"
#include "ipc/protocol_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using Replies = std::vector<std::string>;  // raw messages, NUL included when wanted

std::string withNul(const std::string& text) { return text + std::string(1, '\0'); }

std::string reply(const std::string& command, const std::string& response) {
    return withNul("{\"Command\":\"" + command + "\",\"Response\":" + response + "}");
}

std::string progress(int value, const char* result = "OK") {
    return reply("StartUpgrade", std::string("{\"Result\":\"") + result +
                                     "\",\"Parameters\":{\"UpgradeProgressValue\":" +
                                     std::to_string(value) + "}}");
}

// A device application: binds `url`, answers each request with the messages
// the script returns, and keeps every request it received.
class FakeApp {
public:
    using Script = std::function<Replies(const std::string& request)>;

    FakeApp(const std::string& url, int protocol, Script script) : script_(std::move(script)) {
        sock_ = nn_socket(AF_SP, protocol);
        int timeout = 20;
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout);
        bound_ = nn_bind(sock_, url.c_str()) >= 0;
        thread_ = std::thread([this] { run(); });
    }
    ~FakeApp() {
        stop_ = true;
        thread_.join();
        nn_close(sock_);
    }
    bool bound() const { return bound_; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> guard(lock_);
        return requests_;
    }

private:
    void run() {
        while (!stop_) {
            void* buf = nullptr;
            int got = nn_recv(sock_, &buf, NN_MSG, 0);
            if (got < 0) continue;
            std::string request(static_cast<char*>(buf), static_cast<std::size_t>(got));
            nn_freemsg(buf);
            {
                std::lock_guard<std::mutex> guard(lock_);
                requests_.push_back(request);
            }
            for (const std::string& r : script_(request)) nn_send(sock_, r.data(), r.size(), 0);
        }
    }

    Script script_;
    int sock_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "ipc_exch_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        clear_protocol_table();
    }
    void TearDown() override {
        clear_protocol_table();
        std::filesystem::remove_all(dir_);
    }
    std::string url(const char* name) const { return "ipc://" + dir_ + "/" + name; }
    void loadTable(const std::string& content) {
        std::string path = dir_ + "/command_para";
        std::ofstream(path) << content;
        ASSERT_EQ(http_read_config_command_from(path.c_str()), 0);
    }

    struct Outcome {
        int found = 0;
        int result = -1;
        JsonReply reply;
        std::string description;
        double seconds = 0;
        std::string receiver;
    };
    // The dispatcher's calling order for one forwarded command.
    Outcome forward(const char* command, const char* parameters) {
        Outcome o;
        int sock = -1, index = -1;
        char receiver[32] = {};
        char description[128] = {};
        auto start = Clock::now();
        o.found = http_protocol_matching(command, &sock, receiver, &index, parameters);
        if (o.found) {
            o.result = http_send_and_recv_app_codec(command, description, parameters, o.reply, sock,
                                                    receiver);
            http_msg_socket_close(index);
        }
        o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        o.description = description;
        o.receiver = receiver;
        return o;
    }

    std::string dir_;
};

TEST(ExchangeTimeouts, ChosenByCommandAndUpgradeSocket) {
    EXPECT_EQ(receive_timeout_ms("StartUpgrade", true), 180000);
    EXPECT_EQ(receive_timeout_ms("StartUpgrade", false), 3000);
    EXPECT_EQ(receive_timeout_ms("GetScanWIFIHotspot", false), 180000);
    EXPECT_EQ(receive_timeout_ms("GetScanWIFIHotspot", true), 180000);
    EXPECT_EQ(receive_timeout_ms("SetNetworkWIFIParameters", false), 5000);
    EXPECT_EQ(receive_timeout_ms("GetNetworkWIFIParameters", true), 5000);
    EXPECT_EQ(receive_timeout_ms("getNetworkWIFIParameters", false), 3000);
    EXPECT_EQ(receive_timeout_ms("GetVideoEncodeParameters", false), 3000);
}

TEST(ExchangeEnvelope, MembersInOrderAndParametersOnlyWhenJson) {
    JsonReply text = http_set_command_response("GetX", "app_a", "{\"A\":[1,\"b\"]}");
    ASSERT_TRUE(text);
    JsonPtr root = json::parse(text->c_str());
    ASSERT_TRUE(root);
    std::vector<std::string> keys;
    for (cJSON* item = root->child; item; item = item->next) keys.push_back(item->string);
    EXPECT_EQ(keys, (std::vector<std::string>{"Command", "Sender", "Receiver", "Timestamp",
                                              "Parameters"}));
    EXPECT_STREQ(cJSON_GetObjectItem(root.get(), "Sender")->valuestring, "web_server");
    EXPECT_STREQ(cJSON_GetObjectItem(root.get(), "Receiver")->valuestring, "app_a");
    double ts = cJSON_GetObjectItem(root.get(), "Timestamp")->valuedouble;
    EXPECT_NEAR(ts, static_cast<double>(time(nullptr)), 2.0);
    EXPECT_EQ(*json::printCompact(cJSON_GetObjectItem(root.get(), "Parameters")),
              "{\"A\":[1,\"b\"]}");
    // Formatted text, with an integer timestamp.
    EXPECT_NE(text->find("\n\t\"Sender\":\t\"web_server\""), std::string::npos);
    EXPECT_EQ(text->find("e+"), std::string::npos);

    for (const char* bad : {"not json", "", static_cast<const char*>(nullptr)}) {
        JsonReply t = http_set_command_response("GetX", "app_a", bad);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->find("Parameters"), std::string::npos);
    }
}

TEST_F(ExchangeTest, RelaysTheResponseObjectAndSendsTheEnvelopeWithOneNul) {
    FakeApp app(url("a"), NN_REP, [](const std::string&) {
        return Replies{reply("GetX", "{\"Result\":\"OK\",\"Parameters\":{\"V\":1}}")};
    });
    ASSERT_TRUE(app.bound());
    loadTable("GetX app_a " + url("a") + "\n");
    Outcome o = forward("GetX", "{\"V\":2}");
    ASSERT_EQ(o.found, 1);
    EXPECT_EQ(o.result, 0);
    ASSERT_TRUE(o.reply);
    EXPECT_EQ(*o.reply, "{\n\t\"Result\":\t\"OK\",\n\t\"Parameters\":\t{\n\t\t\"V\":\t1\n\t}\n}");
    EXPECT_EQ(o.description, "");

    std::vector<std::string> requests = app.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& req = requests[0];
    ASSERT_FALSE(req.empty());
    EXPECT_EQ(req.back(), '\0');
    EXPECT_EQ(req.find('\0'), req.size() - 1);
    JsonPtr env = json::parse(req.c_str());
    ASSERT_TRUE(env);
    EXPECT_EQ(*json::printFormatted(env.get()), req.substr(0, req.size() - 1));
    EXPECT_STREQ(cJSON_GetObjectItem(env.get(), "Command")->valuestring, "GetX");
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(env.get(), "Parameters"), "V")->valueint, 2);
}

TEST_F(ExchangeTest, ReplyChecksGiveTheirCodesAndReasons) {
    const std::string bad = "The server returned an incorrect format parameter";
    const std::string failed = "Failed to request server";
    struct Case {
        const char* what;
        std::string raw;
        int code;
        std::string reason;
    } cases[] = {
        {"garbage", withNul("this is not json"), 508, bad},
        {"response array", reply("GetX", "[1,2]"), 508, bad},
        {"response string", reply("GetX", "\"text\""), 508, bad},
        {"no response", withNul("{\"Command\":\"GetX\"}"), 508, bad},
        {"command other case", reply("getx", "{}"), 550, failed},
        {"command other name", reply("GetY", "{}"), 550, failed},
        {"command key lower case", withNul("{\"command\":\"GetX\",\"Response\":{}}"), 550, failed},
        {"command not a string", withNul("{\"Command\":1,\"Response\":{}}"), 550, failed},
        {"command empty", withNul("{\"Command\":\"\",\"Response\":{}}"), 550, failed},
        // The command is checked before the response.
        {"no command, bad response", withNul("{\"Response\":\"x\"}"), 550, failed},
        {"other command, bad response", reply("GetY", "[]"), 550, failed},
        {"response key lower case", withNul("{\"Command\":\"GetX\",\"response\":{\"R\":1}}"), 0, ""},
        {"no NUL", "{\"Command\":\"GetX\",\"Response\":{\"R\":1}}", 0, ""},
        // Only the text before the NUL counts.
        {"text after NUL", reply("GetX", "{\"R\":1}") + "garbage", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clear_protocol_table();
        const std::string raw = c.raw;
        const std::string address = url(("app" + std::to_string(&c - cases)).c_str());
        FakeApp app(address, NN_REP, [raw](const std::string&) { return Replies{raw}; });
        ASSERT_TRUE(app.bound());
        loadTable("GetX app_a " + address + "\n");
        Outcome o = forward("GetX", nullptr);
        EXPECT_EQ(o.result, c.code);
        EXPECT_EQ(o.description, c.reason);
        EXPECT_EQ(o.reply.has_value(), c.code == 0);
        if (c.code == 0) {
            EXPECT_EQ(*o.reply, "{\n\t\"R\":\t1\n}");
        }
    }
}

TEST_F(ExchangeTest, ReplyWithoutNulIsReadWithinItsLength) {
    // A reply cut inside its JSON and without a NUL must stay a bad reply,
    // whatever lies after it in memory.
    FakeApp app(url("a"), NN_REP, [](const std::string&) {
        return Replies{"{\"Command\":\"GetX\",\"Response\":{\"R\":1}"};
    });
    loadTable("GetX app_a " + url("a") + "\n");
    Outcome o = forward("GetX", nullptr);
    EXPECT_EQ(o.result, 508);
}

TEST_F(ExchangeTest, FailedSendAnswers550AtOnce) {
    // No upgrade application listens: the PAIR send gives up after its
    // 100 ms, and no reply is waited for (not the 180 s of the upgrade).
    loadTable("StartUpgrade app_update " + url("nobody") + "\n");
    Outcome o = forward("StartUpgrade", nullptr);
    EXPECT_EQ(o.found, 1);
    EXPECT_EQ(o.result, 550);
    EXPECT_EQ(o.description, "Failed to request server");
    EXPECT_LT(o.seconds, 1.0);
}

TEST_F(ExchangeTest, GroupWithoutUrlIsFoundButFails550) {
    loadTable("GetX app_a /no/url\n");
    Outcome o = forward("GetX", nullptr);
    EXPECT_EQ(o.found, 1);
    EXPECT_EQ(o.result, 550);
    EXPECT_EQ(o.description, "Failed to request server");
    EXPECT_LT(o.seconds, 1.0);
}

TEST_F(ExchangeTest, UnconnectableUrlIsNotFound) {
    loadTable("GetX app_a ipc\n");  // begins with "ipc" but is no address
    ::testing::internal::CaptureStderr();
    Outcome o = forward("GetX", nullptr);
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(o.found, 0);
    EXPECT_EQ(protocol_table[0].socket, -1);
    EXPECT_NE(errors.find("http_msg_socket_init name：GetX\n"), std::string::npos);
}

TEST_F(ExchangeTest, DeliversToEveryReceiverAndAnswersWithTheLast) {
    FakeApp first(url("a"), NN_REP, [](const std::string&) {
        return Replies{reply("SetX", "{\"From\":\"a\"}")};
    });
    FakeApp second(url("b"), NN_REP, [](const std::string&) {
        return Replies{reply("SetX", "{\"From\":\"b\"}")};
    });
    loadTable("SetX app_a " + url("a") + "\nGetY app_c " + url("c") + "\nSetX app_b " + url("b") +
              "\n");
    Outcome o = forward("SetX", "{\"P\":1}");
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.receiver, "app_b");
    EXPECT_EQ(*o.reply, "{\n\t\"From\":\t\"b\"\n}");
    ASSERT_EQ(first.requests().size(), 1u);
    ASSERT_EQ(second.requests().size(), 1u);
    EXPECT_NE(first.requests()[0].find("\"Receiver\":\t\"app_a\""), std::string::npos);
    EXPECT_NE(second.requests()[0].find("\"Receiver\":\t\"app_b\""), std::string::npos);
    EXPECT_NE(first.requests()[0].find("\"P\":\t1"), std::string::npos);
    for (const ProtocolGroup& g : protocol_table) EXPECT_EQ(g.socket, -1);
}

TEST_F(ExchangeTest, UpgradeSocketFollowsProgressToTheEnd) {
    FakeApp app(url("up"), NN_PAIR, [](const std::string&) {
        return Replies{progress(10), progress(50), progress(99), progress(100)};
    });
    loadTable("StartUpgrade app_update " + url("up") + "\n");
    Outcome o = forward("StartUpgrade", "{\"UpgradeImageFile\":\"/tmp/upgrade\"}");
    ASSERT_EQ(o.result, 0);
    EXPECT_NE(o.reply->find("\"UpgradeProgressValue\":\t100"), std::string::npos);
}

TEST_F(ExchangeTest, UpgradeFailureIsHandedBackAtOnce) {
    FakeApp app(url("up"), NN_PAIR, [](const std::string&) {
        return Replies{progress(10), progress(20, "Fail"), progress(100)};
    });
    loadTable("StartUpgrade app_update " + url("up") + "\n");
    Outcome o = forward("StartUpgrade", nullptr);
    ASSERT_EQ(o.result, 0);
    EXPECT_NE(o.reply->find("\"Result\":\t\"Fail\""), std::string::npos);
    EXPECT_NE(o.reply->find("\"UpgradeProgressValue\":\t20"), std::string::npos);
}

TEST_F(ExchangeTest, ProgressOnAnotherReceiverIsHandedBackAtTheFirst) {
    FakeApp app(url("a"), NN_REP, [](const std::string&) { return Replies{progress(10)}; });
    loadTable("StartUpgrade app_other " + url("a") + "\n");
    Outcome o = forward("StartUpgrade", nullptr);
    ASSERT_EQ(o.result, 0);
    EXPECT_NE(o.reply->find("\"UpgradeProgressValue\":\t10"), std::string::npos);
}

}  // namespace
