// The dispatcher's own decisions, driven without a network: URL checks,
// the session gates, the unsupported-command answer and the refresh.
// (Forwarding, login and the local actions are covered end to end.)
#include <gtest/gtest.h>

#include "accounts/sessions.h"
#include "dispatch/router.h"
#include "dispatch_fake_request.h"
#include "ipc/protocol_table.h"

namespace {

class Router : public ::testing::Test {
protected:
    void SetUp() override {
        clear_protocol_table();
        reset_sessions();
        set_session_clock([this] { return now; });
        const char* id = nullptr;
        ASSERT_EQ(add_new_session("admin", 100, &id), 0);
        sid = id;
    }
    void TearDown() override {
        set_session_clock(nullptr);
        reset_sessions();
    }
    FakeRequest run(const std::string& url, std::string body = "") {
        FakeRequest wp(url);
        wp.body_ = std::move(body);
        actionGetMethodUrl(wp);
        EXPECT_EQ(wp.answers.size(), 1u) << url;
        return wp;
    }
    std::string answer(const std::string& url) { return run(url).answer(); }

    long now = 1000;
    std::string sid;
};

const std::string kEmpty = errorText(-16, "Session ID is empty");
const std::string kInvalid = errorText(-16, "Invalid session ID");
const std::string kBadUrl = errorText(-1, "Invalid URL");

}  // namespace

TEST_F(Router, UrlWithoutSlashIs404) {
    FakeRequest wp = run("noslash");
    EXPECT_EQ(wp.answers[0].status, 404);
    EXPECT_EQ(wp.answers[0].body, "Missing action name");
}

TEST_F(Router, OverLongUrlAndActionNameAreRefused) {
    const std::string base = "/action/device/GetX?sessionid=" + sid + "&a=";
    std::string url = base + std::string(8192 - base.size(), '1');
    ASSERT_EQ(url.size(), 8192u);
    EXPECT_NE(answer(url).find("\"ErrorNo\":\t501"), std::string::npos) << "8192 characters are taken";
    EXPECT_EQ(answer(url + "1"), kBadUrl);

    EXPECT_EQ(answer("/action/device/" + std::string(127, 'G')), kEmpty);
    EXPECT_EQ(answer("/action/device/" + std::string(128, 'G')), kBadUrl);
    EXPECT_EQ(answer("/action/device/" + std::string(128, 'G') + "?sessionid=" + sid), kBadUrl);
}

TEST_F(Router, QueryFormIsCheckedBeforeAnyGate) {
    EXPECT_EQ(answer("/action/device/GetX?a=1&"), kBadUrl);
    EXPECT_EQ(answer("/action/device/GetX?x="), kBadUrl);
    EXPECT_EQ(answer("/action/device/GetX?=5"), kBadUrl);
    EXPECT_EQ(answer("/action/device/upload_Image?fileName"), kBadUrl);
    EXPECT_EQ(answer("/action/device/GetX?"), kBadUrl);
    EXPECT_EQ(run("/action/device/GetX?a=1&", "{}").answer(), kBadUrl);
}

TEST_F(Router, SessionChecks) {
    EXPECT_EQ(answer("/action/device/detection_sessionid"), kEmpty);
    EXPECT_EQ(answer("/action/device/detection_sessionid?sessionid=nope"), kInvalid);
    EXPECT_EQ(answer("/action/device/detection_sessionid?sessionid=" + sid), kOkText);
    EXPECT_EQ(answer("/action/device/set_login_time?sessionid=" + sid), kOkText);
    EXPECT_EQ(answer("/action/device/set_login_time"), kEmpty);
    EXPECT_EQ(answer("/action/device/get_user_param"), kEmpty);
    EXPECT_EQ(answer("/action/device/get_user_param?sessionid=bad"), kInvalid);
    // the upload commands' gate without credentials
    EXPECT_EQ(answer("/action/device/upload_Image?fileName=a.png"), kEmpty);
    EXPECT_EQ(answer("/action/device/upload_edid?fileName=a.bin&sessionid=x"), kInvalid);
    EXPECT_EQ(answer("/action/device/SetHdmiEdidParameters?edidfile=a.bin"), kEmpty);
    EXPECT_EQ(answer("/action/device/GetHdmiEdidParameters?sessionid=x"), kInvalid);
    // "detection_sessionid" checks without refreshing, "set_login_time" refreshes
    now = 1090;
    EXPECT_EQ(answer("/action/device/detection_sessionid?sessionid=" + sid), kOkText);
    now = 1150;
    EXPECT_EQ(answer("/action/device/detection_sessionid?sessionid=" + sid), kInvalid);
}

TEST_F(Router, SetLoginTimeMovesTheExpiry) {
    now = 1090;
    EXPECT_EQ(answer("/action/device/set_login_time?sessionid=" + sid), kOkText);
    now = 1150;
    EXPECT_EQ(answer("/action/device/detection_sessionid?sessionid=" + sid), kOkText);
}

TEST_F(Router, UnsupportedCommandAnswers501AndRefreshes) {
    now = 1090;
    EXPECT_EQ(answer("/action/device/GetNothing?sessionid=" + sid),
              errorText(501, "The server does not support this protocol :GetNothing"));
    now = 1150;  // the finish refreshed the session at 1090
    EXPECT_EQ(answer("/action/device/detection_sessionid?sessionid=" + sid), kOkText);

    // the action name is cut so that the reason keeps to 127 characters
    const std::string longName(127, 'G');
    const std::string reason = "The server does not support this protocol :" + longName;
    EXPECT_EQ(answer("/action/device/" + longName + "?sessionid=" + sid),
              errorText(501, reason.substr(0, 127)));
    // a '/' in the query moves the action name
    EXPECT_EQ(answer("/action/device/GetX?sessionid=" + sid + "&p=a/GetY"),
              kEmpty);
}

TEST_F(Router, GateModeFollowsTheSetPrefix) {
    // a name with '_' whose prefix is not "set" checks without refreshing; the
    // finish refreshes afterwards either way, so only an expiry shows it
    now = 1101;
    EXPECT_EQ(answer("/action/device/get_nothing?sessionid=" + sid), kInvalid);
}

TEST_F(Router, SpooledBodyIsRefusedOutsideTheUpgrade) {
    FakeRequest wp("/action/device/SetX?sessionid=" + sid);
    wp.bodyFile_ = "/nonexistent/spool";
    actionGetMethodUrl(wp);
    EXPECT_EQ(wp.answer(), errorText(-1, "Invalid params"));
    FakeRequest anon("/action/device/SetX");
    anon.bodyFile_ = "/nonexistent/spool";
    actionGetMethodUrl(anon);
    EXPECT_EQ(anon.answer(), kEmpty);  // the gate answers first
}
