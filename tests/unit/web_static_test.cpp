// Static documents over HTTP: index pages, 404, deny rules, conditional
// requests, HEAD, methods, and paths trying to leave the document root.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "web/static_files.h"
#include "web_test_support.h"

using namespace webtest;

namespace {

const std::string kLogin = "<html>login</html>\n", kSub = "<p>sub index</p>";

class WebStatic : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(site / "secret.txt", "SECRET outside the root\n");
        writeFile(site / "web_root/sub/index.txt", "not the index\n");
        writeFile(site / "web_root/sub/login.html", kSub);
        writeFile(site / "web_root/my file+x.txt", "spaced");
        fs::create_directories(site / "web_root/empty");
        fs::create_symlink(site / "secret.txt", site / "web_root/abs_out");
        fs::create_symlink("../secret.txt", site / "web_root/rel_out");
        fs::create_directory_symlink(site.path(), site / "web_root/dir_out");
        fs::create_symlink("sub/login.html", site / "web_root/inside_link.html");
        ASSERT_EQ(0, mkfifo((site / "web_root/pipe.txt").c_str(), 0600));
    }
    Site site;
};

TEST_F(WebStatic, DocumentsIndexPagesAndRefusals) {
    constexpr int kOut = 0;  // 400, 403 or 404, and nothing from outside the root
    const std::tuple<const char*, int, std::string> cases[] = {
        {"/", 200, kLogin}, {"/?lang=en", 200, kLogin}, {"/sub/", 200, kSub}, {"/sub", 200, kSub},
        {"//sub/./", 200, kSub}, {"/my%20file+x.txt", 200, "spaced"},
        {"/inside_link.html", 200, kSub},  // a link that stays inside the root
        {"/empty/", 404, ""}, {"/nothing.html", 404, ""}, {"/login.html/x", 404, ""},
        {"/configuration.html", 404, ""}, {"/pipe.txt", 404, ""},  // must not hang on the FIFO
        {"/config/route.txt", 403, ""}, {"/%63onfig/auth.txt", 403, ""}, {"/config", 403, ""},
        {"/config/", 403, ""}, {"/./config//route.txt", 403, ""},
        {"/../secret.txt", kOut, ""}, {"/.%2E/secret.txt", kOut, ""}, {"/sub/../../secret.txt", kOut, ""},
        {"/sub/%2e%2e/%2e%2e/secret.txt", kOut, ""}, {"/..%5csecret.txt", kOut, ""}, {"/..\\secret.txt", kOut, ""},
        {"/sub%2f..%2f..%2fsecret.txt", kOut, ""}, {"/abs_out", kOut, ""}, {"/rel_out", kOut, ""},
        {"/dir_out/secret.txt", kOut, ""}, {"/login.html%00.txt", kOut, ""}, {"//../secret.txt", kOut, ""},
        {"/%252e%252e/secret.txt", kOut, ""}, {"/sub/..", kOut, ""}, {"/%", kOut, ""}, {"/%zz", kOut, ""},
        {"*", kOut, ""}, {"relative.html", kOut, ""}};
    RunningServer srv(site);
    for (const auto& [target, status, body] : cases) {
        Response r = fetch(srv.port(), get(target));
        EXPECT_TRUE(status == kOut ? r.status == 400 || r.status == 403 || r.status == 404 : r.status == status)
            << target << ": " << r.status;
        EXPECT_TRUE(body.empty() || body == r.body) << target;
        EXPECT_EQ(std::string::npos, r.body.find("SECRET")) << target;
    }
}

// On one connection, so that a 304 or HEAD answer carrying a body would put
// the following answers out of step.
TEST_F(WebStatic, ConditionalHeadAndOtherMethods) {
    struct timespec times[2] = {{784111777, 0}, {784111777, 0}};  // Sun, 06 Nov 1994 08:49:37 GMT
    ASSERT_EQ(0, utimensat(AT_FDCWD, (site / "web_root/login.html").c_str(), times, 0));
    RunningServer srv(site);
    Client c(srv.port());
    Response r = c.ask(get("/login.html", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"));
    EXPECT_EQ(304, r.status);
    EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", r.header("Last-Modified"));
    EXPECT_EQ(200, c.ask(get("/login.html", "If-Modified-Since: Sun, 06 Nov 1994 08:49:36 GMT\r\n")).status);
    r = c.ask("HEAD /login.html HTTP/1.1\r\nHost: t\r\n\r\n");
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("19", r.header("Content-Length"));
    EXPECT_EQ("text/html", r.header("Content-Type"));
    EXPECT_EQ(kSub, c.ask(get("/sub/login.html")).body);
    r = c.ask(post("/login.html", "abc"));
    EXPECT_EQ(405, r.status);
    EXPECT_EQ("GET, HEAD", r.header("Allow"));
}

// Documents under a session rule go only to a live session id, asked of the
// check without the rest of the query; no check refuses them all.
TEST_F(WebStatic, SessionRuleAsksTheCheck) {
    writeFile(site / "web_root/config/auth.txt", "deny /config/\nsession /sd/\n");
    writeFile(site / "web_root/sd/a.mp4", "video");
    std::vector<std::string> asked;
    auto check = [&](std::string_view id) { asked.emplace_back(id); return id == "live"; };
    RunningServer srv(site, web::Action{}, {}, [&](web::Server& s) { s.setSessionCheck(check); });
    const std::pair<const char*, int> cases[] = {
        {"/sd/a.mp4?x=1&sessionid=live&y=2", 200}, {"/sd/a.mp4?sessionid=dead", 403}, {"/sd/a.mp4", 403},
        {"/%73d/a.mp4?sessionid=x", 403}, {"/sd?sessionid=live", 404}, {"/login.html?sessionid=dead", 200}};
    for (const auto& [target, status] : cases) EXPECT_EQ(status, fetch(srv.port(), get(target)).status) << target;
    EXPECT_EQ(std::vector<std::string>({"live", "dead", "x", "live"}), asked);
    RunningServer unchecked(site);
    EXPECT_EQ(403, fetch(unchecked.port(), get("/sd/a.mp4?sessionid=live")).status);
}

TEST_F(WebStatic, BothOpenersRefuseTheSameEscapes) {
    using web::detail::DocumentRoot;
    const std::pair<const char*, int> cases[] = {{"rel_out", 403}, {"abs_out", 403}, {"dir_out/secret.txt", 403},
                                                 {"../secret.txt", 403}, {"missing", 404}, {"sub", 0},
                                                 {"inside_link.html", 0}};
    for (auto opener : {DocumentRoot::Opener::Auto, DocumentRoot::Opener::Realpath}) {
        DocumentRoot root;
        ASSERT_TRUE(root.open(site / "web_root", opener));
        for (const auto& [name, result] : cases) {
            int fd = -1;
            off_t size = 0;
            std::time_t mtime = 0;
            std::string served;
            EXPECT_EQ(result, root.openDocument(name, "login.html", fd, size, mtime, served)) << name;
            EXPECT_EQ(result == 0, fd >= 0) << name;
            EXPECT_EQ(result == 0 ? 16 : 0, size) << name;
            EXPECT_TRUE(std::string(name) != "sub" || served == "sub/login.html") << served;
            if (fd >= 0) ::close(fd);
        }
    }
}

}  // namespace
