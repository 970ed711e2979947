// Route and authentication file formats, request path clean-up, content
// types and HTTP dates.
#include <gtest/gtest.h>

#include "web/rules.h"
#include "web/static_files.h"
#include "web_test_support.h"

using namespace web::detail;

namespace {

TEST(WebRules, RouteFileRulesMatchInFileOrder) {
    webtest::TempDir dir;
    webtest::writeFile(dir / "route.txt",
                       "# comment line\r\n"
                       "\r\n"
                       "   action\t/action/device/   device   \r\n"
                       "static /action/\n"
                       "static /\n");
    RouteTable t;
    ASSERT_TRUE(t.load(dir / "route.txt"));
    ASSERT_EQ(3u, t.rules().size());
    const RouteRule* r = t.match("/action/device/login");
    ASSERT_TRUE(r);
    EXPECT_EQ(RouteRule::Kind::Action, r->kind);
    EXPECT_EQ("device", r->action);
    r = t.match("/action/devices");
    ASSERT_TRUE(r);
    EXPECT_EQ(RouteRule::Kind::Static, r->kind);
    EXPECT_EQ("/action/", r->prefix);
    EXPECT_EQ("/", t.match("/login.html")->prefix);
    // Matching is on the raw path: an encoded spelling is not the action.
    EXPECT_EQ(RouteRule::Kind::Static, t.match("/action/%64evice/x")->kind);

    webtest::writeFile(dir / "only_action.txt", "action /action/device/ device\n");
    ASSERT_TRUE(t.load(dir / "only_action.txt"));
    EXPECT_EQ(nullptr, t.match("/login.html"));
}

TEST(WebRules, BadRouteFileLeavesTheTableAsItWas) {
    webtest::TempDir dir;
    webtest::writeFile(dir / "good.txt", "action /action/device/ device\nstatic /\n");
    webtest::writeFile(dir / "bad.txt", "static /\naction /x/\n");
    webtest::writeFile(dir / "long.txt", "static /" + std::string(2000, 'a') + "\n");
    webtest::writeFile(dir / "nul.txt", std::string("static /\0x\n", 11));
    RouteTable t;
    ASSERT_TRUE(t.load(dir / "good.txt"));
    EXPECT_FALSE(t.load(dir / "bad.txt"));
    EXPECT_FALSE(t.load(dir / "long.txt"));
    EXPECT_FALSE(t.load(dir / "nul.txt"));
    EXPECT_FALSE(t.load(dir / "missing.txt"));
    EXPECT_EQ(2u, t.rules().size());
}

TEST(WebRules, DenyRulesMatchPrefixAndTheBareDirectory) {
    webtest::TempDir dir;
    webtest::writeFile(dir / "auth.txt", "# deny rules\ndeny /config/\ndeny /private.html\n");
    AccessRules a;
    ASSERT_TRUE(a.load(dir / "auth.txt"));
    EXPECT_TRUE(a.denied("/config/route.txt"));
    EXPECT_TRUE(a.denied("/config"));
    EXPECT_TRUE(a.denied("/private.html"));
    EXPECT_FALSE(a.denied("/configuration"));
    EXPECT_FALSE(a.denied("/login.html"));
    webtest::writeFile(dir / "comments.txt", "# nothing but comments\n\n");
    ASSERT_TRUE(a.load(dir / "comments.txt"));
    EXPECT_FALSE(a.denied("/config/route.txt"));
}

TEST(WebRules, RequestPathsAreDecodedAndCleaned) {
    std::string rel;
    EXPECT_EQ(PathCheck::Ok, cleanRequestPath("/", rel));
    EXPECT_EQ("", rel);
    EXPECT_EQ(PathCheck::Ok, cleanRequestPath("//a/./b//c.html", rel));
    EXPECT_EQ("a/b/c.html", rel);
    EXPECT_EQ(PathCheck::Ok, cleanRequestPath("/my%20file+x.txt", rel));
    EXPECT_EQ("my file+x.txt", rel);
    EXPECT_EQ(PathCheck::Ok, cleanRequestPath("/%252e%252e", rel));
    EXPECT_EQ("%2e%2e", rel);
    EXPECT_EQ(PathCheck::Ok, cleanRequestPath("/a/...", rel));
    EXPECT_EQ("a/...", rel);
    for (const char* bad : {"/..", "/a/../b", "/%2e%2e/x", "/.%2E/x", "/a%2fb", "/a%2Fb", "/a%5cb",
                            "/a\\b", "/a%00b"}) {
        EXPECT_EQ(PathCheck::Forbidden, cleanRequestPath(bad, rel)) << bad;
    }
    for (const char* bad : {"", "a.html", "/%", "/%2", "/%zz", "*"}) {
        EXPECT_EQ(PathCheck::BadRequest, cleanRequestPath(bad, rel)) << bad;
    }
}

TEST(WebRules, HttpDatesRoundTrip) {
    char text[40];
    formatHttpDate(784111777, text, sizeof text);
    EXPECT_STREQ("Sun, 06 Nov 1994 08:49:37 GMT", text);
    std::time_t t = 0;
    ASSERT_TRUE(parseHttpDate(text, t));
    EXPECT_EQ(784111777, t);
    EXPECT_FALSE(parseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT", t));
    EXPECT_FALSE(parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT trailing", t));
    EXPECT_FALSE(parseHttpDate(nullptr, t));
}

TEST(WebRules, ContentTypeIgnoresDirectoriesAndCase) {
    EXPECT_STREQ("text/html", contentTypeFor("dir.png/page.HTML"));
    EXPECT_STREQ("application/octet-stream", contentTypeFor("dir.png/page"));
    EXPECT_STREQ("application/octet-stream", contentTypeFor("archive.tar.gz"));
    EXPECT_STREQ("image/jpeg", contentTypeFor("photo.JPeG"));
}

}  // namespace
