// The operation log record and its sending, against a log sink bound on an
// ipc address in a private temporary folder.
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "ipc/logchannel.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(LogRecord, CodesForMissingArguments) {
    EXPECT_EQ(get_log_json("INFO", "x", false, true, nullptr), -2);
    JsonReply text = std::string("stale");
    EXPECT_EQ(get_log_json(nullptr, "x", false, true, &text), -2);
    EXPECT_FALSE(text);
    text = std::string("stale");
    EXPECT_EQ(get_log_json("INFO", nullptr, false, true, &text), -2);
    EXPECT_FALSE(text);
}

TEST(LogRecord, MembersInOrderFormattedOrCompact) {
    JsonReply text;
    const auto before = std::time(nullptr);
    ASSERT_EQ(get_log_json("WARN", "hello \"x\"", true, true, &text), 0);
    const auto after = std::time(nullptr);
    ASSERT_TRUE(text);
    JsonPtr root = json::parse(text->c_str());
    ASSERT_TRUE(root);
    std::vector<std::string> keys;
    for (cJSON* item = root->child; item; item = item->next) keys.push_back(item->string);
    EXPECT_EQ(keys, (std::vector<std::string>{"Level", "Module", "Timestamp", "Flush", "Content"}));
    EXPECT_STREQ(cJSON_GetObjectItem(root.get(), "Level")->valuestring, "WARN");
    EXPECT_STREQ(cJSON_GetObjectItem(root.get(), "Module")->valuestring, "webserver");
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(root.get(), "Flush")));
    EXPECT_STREQ(cJSON_GetObjectItem(root.get(), "Content")->valuestring, "hello \"x\"");
    const double ts = cJSON_GetObjectItem(root.get(), "Timestamp")->valuedouble;
    EXPECT_GE(ts, static_cast<double>(before));
    EXPECT_LE(ts, static_cast<double>(after));
    EXPECT_EQ(*text, *json::printFormatted(root.get()));
    EXPECT_EQ(text->find("e+"), std::string::npos);  // a plain integer

    ASSERT_EQ(get_log_json("INFO", "c", false, false, &text), 0);
    EXPECT_EQ(text->find('\n'), std::string::npos);
    EXPECT_TRUE(text->ends_with("\"Flush\":false,\"Content\":\"c\"}")) << *text;
}

class LogSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "ipc_log_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        address_ = "ipc://" + dir_ + "/log";
        saved_ = log_msg_socket.load();
    }
    void TearDown() override {
        if (push_ >= 0) nn_close(push_);
        if (pull_ >= 0) nn_close(pull_);
        log_msg_socket = saved_;
        unlink((dir_ + "/log").c_str());
        rmdir(dir_.c_str());
    }
    void connectPush() {
        push_ = nn_socket(AF_SP, NN_PUSH);
        ASSERT_GE(nn_connect(push_, address_.c_str()), 0);
        log_msg_socket = push_;
    }
    void bindPull() {
        pull_ = nn_socket(AF_SP, NN_PULL);
        int timeout = 2000;
        nn_setsockopt(pull_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout);
        ASSERT_GE(nn_bind(pull_, address_.c_str()), 0);
    }
    std::optional<std::string> receive() {
        void* buf = nullptr;
        int got = nn_recv(pull_, &buf, NN_MSG, 0);
        if (got < 0) return std::nullopt;
        std::string message(static_cast<char*>(buf), static_cast<std::size_t>(got));
        nn_freemsg(buf);
        return message;
    }
    // The first record, sent again until the connection is up (the push
    // connects in the background).
    std::optional<std::string> sendUntilReceived(const char* client, const char* command) {
        int timeout = 100;
        nn_setsockopt(pull_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout);
        for (int i = 0; i < 50; ++i) {
            ::testing::internal::CaptureStderr();
            send_log_msg(client, command);
            ::testing::internal::GetCapturedStderr();
            std::optional<std::string> got = receive();
            if (got) return got;
        }
        return std::nullopt;
    }

    std::string dir_;
    std::string address_;
    int push_ = -1;
    int pull_ = -1;
    int saved_ = -1;
};

TEST_F(LogSendTest, RecordOnTheWireIsFormattedTextAndOneNul) {
    bindPull();
    connectPush();
    std::optional<std::string> received = sendUntilReceived("192.168.1.10", "GetX");
    ASSERT_TRUE(received.has_value());
    const std::string& wire = *received;
    ASSERT_EQ(wire.find('\0'), wire.size() - 1);
    JsonPtr root = json::parse(wire.c_str());
    ASSERT_TRUE(root);
    EXPECT_EQ(*json::printFormatted(root.get()) + std::string(1, '\0'), wire);
    EXPECT_STREQ(cJSON_GetObjectItem(root.get(), "Content")->valuestring, "client[192.168.1.10] GetX");
    EXPECT_STREQ(cJSON_GetObjectItem(root.get(), "Level")->valuestring, "INFO");
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(root.get(), "Flush")));
    EXPECT_NEAR(cJSON_GetObjectItem(root.get(), "Timestamp")->valuedouble,
                static_cast<double>(std::time(nullptr)), 2.0);

    // Content is cut at 127 characters.
    const std::string longName(200, 'N');
    send_log_msg("10.0.0.1", longName.c_str());
    std::optional<std::string> cut = receive();
    ASSERT_TRUE(cut.has_value());
    JsonPtr cutRoot = json::parse(cut->c_str());
    ASSERT_TRUE(cutRoot);
    const std::string content = cJSON_GetObjectItem(cutRoot.get(), "Content")->valuestring;
    EXPECT_EQ(content, ("client[10.0.0.1] " + longName).substr(0, 127));
}

TEST_F(LogSendTest, NoLogServiceNeverDelaysTheRequest) {
    connectPush();  // nobody bound at the address
    for (int i = 0; i < 3; ++i) {
        ::testing::internal::CaptureStderr();
        auto start = Clock::now();
        send_log_msg("127.0.0.1", "GetX");
        auto elapsed = Clock::now() - start;
        std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_LT(elapsed, std::chrono::milliseconds(20));
        EXPECT_NE(errors.find("[webserver]nn_send log fail: "), std::string::npos);
    }
}

TEST_F(LogSendTest, ChannelNeverOpenedReportsEachSend) {
    log_msg_socket = -1;
    ::testing::internal::CaptureStderr();
    send_log_msg("127.0.0.1", "GetX");
    send_log_msg("127.0.0.1", "GetY");
    std::string errors = ::testing::internal::GetCapturedStderr();
    const std::string line = "[webserver]nn_send log fail: ";
    auto first = errors.find(line);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(errors.find(line, first + 1), std::string::npos);
}

}  // namespace
