#include <gtest/gtest.h>

#include <string>

#include "server/startup.h"
#include "server/writers.h"

namespace {

// Records the one response a writer gives.
class FakeRequest : public web::Request {
public:
    int status = 0;
    std::string type;
    std::string text;
    int responses = 0;

    const std::string& url() const override { return empty_; }
    const std::string& method() const override { return empty_; }
    std::string_view body() const override { return {}; }
    std::uint64_t bodyLength() const override { return 0; }
    const std::string& bodyFile() const override { return empty_; }
    const std::string& clientAddress() const override { return empty_; }
    const web::UploadedFile* upload() const override { return nullptr; }
    void respond(int s, std::string_view t, std::string_view b) override {
        ++responses;
        status = s;
        type = t;
        text = b;
    }
    bool responded() const override { return responses > 0; }

private:
    std::string empty_;
};

TEST(Writers, EveryFormIsOneJsonAnswerWithStatus200) {
    FakeRequest a;
    json_perror(a, 504, "Connection service timed out");
    EXPECT_EQ(a.responses, 1);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.type, "application/json");
    EXPECT_EQ(a.text,
              "{\n\t\"Result\":\t\"Fail\",\n\t\"ErrorNo\":\t504,\n"
              "\t\"Reason\":\t\"Connection service timed out\"\n}");

    FakeRequest b;
    json_perror(b, -16, "Session ID is empty");
    EXPECT_EQ(b.text, "{\n\t\"Result\":\t\"Fail\",\n\t\"ErrorNo\":\t-16,\n\t\"Reason\":\t\"Session ID is empty\"\n}");

    FakeRequest c;
    json_OK(c);
    EXPECT_EQ(c.text, "{\n\t\"Result\":\t\"OK\"\n}");

    FakeRequest d;
    json_Upgrade_OK(d, "upgrade success");
    EXPECT_EQ(d.text, "{\n\t\"Result\":\t\"OK\",\n\t\"Reason\":\t\"upgrade success\"\n}");

    FakeRequest e;
    http_response(e, "relayed as is");
    EXPECT_EQ(e.status, 200);
    EXPECT_EQ(e.text, "relayed as is");
}

// Refusals that happen before any thread is created.
TEST(ServiceStart, RefusesBadPortsAndASecondServer) {
    WebParams params;
    for (int bad : {65536, -1, 70000}) {
        params.http_port = bad;
        EXPECT_EQ(web_service_start(&params), -2) << bad;
    }
    params.http_port = 8080;
    params.https_port = 65536;
    EXPECT_EQ(web_service_start(&params), -2);
    EXPECT_EQ(web_service_start(nullptr), -2);
    EXPECT_EQ(web_service_finished.load(), 1);

    // A server counted as running is not started twice; nothing changes.
    params.https_port = 443;
    web_service_finished = 0;
    EXPECT_EQ(web_service_start(&params), -14);
    EXPECT_EQ(web_service_finished.load(), 0);
    web_service_finished = 1;

    // Stopping with nothing running returns at once.
    EXPECT_EQ(web_service_stop(), 0);
    EXPECT_EQ(web_listen_id.load(), -1);
}

}  // namespace
