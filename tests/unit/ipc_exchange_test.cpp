// The request/reply exchange: time-out choice, reply checks read within the
// message, and a failed send. (Relaying, two receivers and the upgrade
// progress are tested end to end against the simulator.)
#include <gtest/gtest.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "ipc/exchange.h"
#include "ipc/protocol_table.h"

namespace {

// A device application answering every request with the message `raw`.
class FakeApp {
public:
    FakeApp(const std::string& url, std::string raw) : raw_(std::move(raw)) {
        int timeout = 20;
        nn_setsockopt(sock_, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout);
        bound = nn_bind(sock_, url.c_str()) >= 0;
        thread_ = std::thread([this] {
            while (!stop_) {
                void* buf = nullptr;
                if (nn_recv(sock_, &buf, NN_MSG, 0) < 0) continue;
                nn_freemsg(buf);
                nn_send(sock_, raw_.data(), raw_.size(), 0);
            }
        });
    }
    ~FakeApp() {
        stop_ = true;
        thread_.join();
        nn_close(sock_);
    }
    bool bound = false;

private:
    std::string raw_;
    int sock_ = nn_socket(AF_SP, NN_REP);
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "ipc_exch_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        clear_protocol_table();
        std::filesystem::remove_all(dir_);
    }
    std::string url(const std::string& name) const { return "ipc://" + dir_ + "/" + name; }
    void loadTable(const std::string& content) {
        clear_protocol_table();
        std::ofstream(dir_ + "/command_para") << content;
        ASSERT_EQ(http_read_config_command_from((dir_ + "/command_para").c_str()), 0);
    }

    struct Outcome {
        int result = -1;
        JsonReply reply;
        std::string description;
        double seconds = 0;
    };
    // The dispatcher's calling order for one forwarded command.
    Outcome forward(const char* command) {
        Outcome o;
        int sock = -1, index = -1;
        char receiver[32] = {};
        char description[128] = {};
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(http_protocol_matching(command, &sock, receiver, &index, nullptr), 1);
        o.result = http_send_and_recv_app_codec(command, description, nullptr, o.reply, sock, receiver);
        http_msg_socket_close(index);
        o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        o.description = description;
        return o;
    }

    std::string dir_;
};

TEST_F(ExchangeTest, ReplyIsCheckedWithinItsLength) {
    const std::string bad = "The server returned an incorrect format parameter";
    const std::string failed = "Failed to request server";
    const std::string nul(1, '\0');
    const struct {
        std::string raw;
        int code;
        std::string reason;
    } cases[] = {
        // cut inside its JSON and without a NUL: whatever follows in memory
        // must not complete it
        {"{\"Command\":\"GetX\",\"Response\":{\"R\":1}", 508, bad},
        {"{\"Command\":\"GetX\",\"Response\":{\"R\":1}}", 0, ""},
        {"{\"Command\":\"GetX\",\"Response\":{\"R\":1}}" + nul + "garbage", 0, ""},
        {"{\"Command\":1,\"Response\":{}}" + nul, 550, failed},
        {"{\"Command\":\"\",\"Response\":{}}" + nul, 550, failed},
        // the command is checked before the response
        {"{\"Response\":\"x\"}" + nul, 550, failed},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        const std::string address = url("app" + std::to_string(n++));
        FakeApp app(address, c.raw);
        ASSERT_TRUE(app.bound);
        loadTable("GetX app_a " + address + "\n");
        Outcome o = forward("GetX");
        EXPECT_EQ(o.result, c.code);
        EXPECT_EQ(o.description, c.reason);
        EXPECT_EQ(o.reply.value_or("<none>"), c.code == 0 ? "{\n\t\"R\":\t1\n}" : "<none>");
    }
}

TEST_F(ExchangeTest, FailedSendAnswers550AtOnce) {
    // No upgrade application listens: the PAIR send gives up after its
    // 100 ms, and no reply is waited for (not the 180 s of the upgrade).
    loadTable("StartUpgrade app_update " + url("nobody") + "\n");
    Outcome o = forward("StartUpgrade");
    EXPECT_EQ(o.result, 550);
    EXPECT_EQ(o.description, "Failed to request server");
    EXPECT_LT(o.seconds, 1.0);
}

}  // namespace
