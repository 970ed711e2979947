// Refusals of the server thread's start that happen before any thread exists.
#include <gtest/gtest.h>

#include "server/startup.h"

TEST(ServiceStart, RefusesBadPortsAndASecondServer) {
    WebParams params;
    for (auto [http, https] : {std::pair{65536, 443}, {-1, 443}, {70000, 443}, {8080, 65536}}) {
        params = {.http_port = http, .https_port = https};
        EXPECT_EQ(-2, web_service_start(&params)) << http << " " << https;
    }
    EXPECT_EQ(-2, web_service_start(nullptr));
    EXPECT_EQ(1, web_service_finished.load());
    params.https_port = 443;  // a server counted as running is not started twice
    web_service_finished = 0;
    EXPECT_EQ(-14, web_service_start(&params));
    EXPECT_EQ(0, web_service_finished.load());
    web_service_finished = 1;

    EXPECT_EQ(0, web_service_stop());  // nothing running: returns at once
    EXPECT_EQ(-1, web_listen_id.load());
}
