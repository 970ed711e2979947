// Route and authentication file formats, content types and HTTP dates.
#include <gtest/gtest.h>

#include "web/rules.h"
#include "web/static_files.h"
#include "web_test_support.h"

using namespace web::detail;

TEST(WebRules, RouteRulesMatchTheRawPathInFileOrderAndAuthRulesDeny) {
    webtest::Site dir;
    dir.file("route.txt", "# comment\r\n\r\n   action\t/action/device/   device   \r\nstatic /action/\nstatic /\n");
    RouteTable t;
    ASSERT_TRUE(t.load(dir / "route.txt"));
    ASSERT_EQ(3u, t.rules().size());
    EXPECT_EQ("device", t.match("/action/device/login")->action);
    EXPECT_EQ("/action/", t.match("/action/devices")->prefix);
    EXPECT_EQ("/", t.match("/login.html")->prefix);
    EXPECT_EQ(RouteRule::Kind::Static, t.match("/action/%64evice/x")->kind);  // not decoded

    // A file with a line the format does not know fails whole; the table stays.
    const std::string bad[] = {"action /action/device/\n", "static / extra\n", "route / device\n", "static relative/\n",
                               "# only comments\n\n", "", "static /\naction /x/\n",
                               "static /" + std::string(2000, 'a') + "\n", std::string("static /\0x\n", 11)};
    for (const std::string& text : bad) {
        dir.file("bad.txt", text);
        EXPECT_FALSE(t.load(dir / "bad.txt")) << text;
    }
    for (const std::string& unreadable : {dir / "missing.txt", dir.path()}) EXPECT_FALSE(t.load(unreadable));
    EXPECT_EQ(3u, t.rules().size());

    // Authentication file: deny and session rules match a prefix and the bare directory; host rules name whole hosts.
    AccessRules a;
    for (const char* bad : {"allow /\n", "deny\n", "session sd/\n", "host a b\n"})
        EXPECT_FALSE(a.parse("auth.txt", bad)) << bad;
    EXPECT_FALSE(a.load(dir / "missing.txt"));
    dir.file("auth.txt", "deny /config/\ndeny /private.html\nsession /sd/\nhost Device.Example.com\n");
    ASSERT_TRUE(a.load(dir / "auth.txt"));
    for (const char* path : {"/config/route.txt", "/config", "/private.html"}) EXPECT_TRUE(a.denied(path)) << path;
    for (const char* path : {"/configuration", "/login.html", "/sd/a.mp4"}) EXPECT_FALSE(a.denied(path)) << path;
    EXPECT_TRUE(a.needsSession("/sd/a.mp4") && a.needsSession("/sd") && !a.needsSession("/sdx"));
    EXPECT_TRUE(a.hostListed("device.example.COM") && !a.hostListed("example.com"));
    ASSERT_TRUE(a.parse("empty", ""));
    EXPECT_FALSE(a.denied("/config/route.txt") || a.needsSession("/sd/") || a.hostListed("device.example.com"));
}

TEST(WebRules, OtherDateFormatsAndContentTypes) {
    std::time_t t = 0;
    for (const char* bad : {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT trailing", "yesterday", "",
                            static_cast<const char*>(nullptr)})
        EXPECT_FALSE(parseHttpDate(bad, t)) << bad;
    const std::pair<const char*, const char*> types[] = {
        {"a.html", "text/html"}, {"UP.PNG", "image/png"}, {"photo.JPeG", "image/jpeg"},
        {"dir.png/page.HTML", "text/html"}, {"noext", "application/octet-stream"},
        {"dir.png/page", "application/octet-stream"}, {"archive.tar.gz", "application/octet-stream"}};
    for (const auto& [name, type] : types) EXPECT_STREQ(type, contentTypeFor(name)) << name;
}
