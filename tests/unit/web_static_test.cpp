// Static documents over HTTP: content types, index page, 404, 304, HEAD,
// methods, deny rules, and paths trying to leave the document root.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "web/static_files.h"
#include "web_test_support.h"

using namespace webtest;

namespace {

class WebStatic : public ::testing::Test {
protected:
    void SetUp() override {
        makeSite(dir);
        writeFile(dir / "secret.txt", "SECRET outside the root\n");
        writeFile(dir / "web_root/sub/index.txt", "not the index\n");
        writeFile(dir / "web_root/sub/login.html", "<p>sub index</p>");
        std::filesystem::create_directories(dir / "web_root/empty");
        std::filesystem::create_symlink(dir / "secret.txt", dir / "web_root/abs_out");
        std::filesystem::create_symlink("../secret.txt", dir / "web_root/rel_out");
        std::filesystem::create_directory_symlink(dir.path(), dir / "web_root/dir_out");
        std::filesystem::create_symlink("sub/login.html", dir / "web_root/inside_link.html");
    }
    TempDir dir;
};

TEST_F(WebStatic, ContentTypeFollowsTheExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"a.html", "text/html"},      {"a.css", "text/css"},
        {"a.js", "text/javascript"},  {"a.json", "application/json"},
        {"a.png", "image/png"},       {"a.jpg", "image/jpeg"},
        {"a.jpeg", "image/jpeg"},     {"a.bmp", "image/bmp"},
        {"a.svg", "image/svg+xml"},   {"a.ico", "image/x-icon"},
        {"a.woff2", "font/woff2"},    {"a.txt", "text/plain"},
        {"UP.PNG", "image/png"},      {"a.bin", "application/octet-stream"},
        {"noext", "application/octet-stream"},
    };
    for (const auto& [name, type] : cases) writeFile(dir / ("web_root/t/" + std::string(name)), name);
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    Client c(srv.port());
    for (const auto& [name, type] : cases) {
        ASSERT_TRUE(c.send(get("/t/" + std::string(name))));
        auto r = c.read();
        ASSERT_TRUE(r) << name;
        EXPECT_EQ(200, r->status) << name;
        EXPECT_EQ(type, r->header("content-type")) << name;
        EXPECT_EQ(name, r->body);
    }
}

TEST_F(WebStatic, IndexPageServesRootAndDirectories) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    for (const char* target : {"/", "/?lang=en", "/login.html"}) {
        auto r = fetch(srv.port(), get(target));
        ASSERT_TRUE(r) << target;
        EXPECT_EQ(200, r->status) << target;
        EXPECT_EQ("<html>login</html>\n", r->body) << target;
        EXPECT_EQ("text/html", r->header("content-type"));
    }
    for (const char* target : {"/sub/", "/sub", "//sub/./"}) {
        auto r = fetch(srv.port(), get(target));
        ASSERT_TRUE(r) << target;
        EXPECT_EQ("<p>sub index</p>", r->body) << target;
    }
    auto r = fetch(srv.port(), get("/empty/"));
    ASSERT_TRUE(r);
    EXPECT_EQ(404, r->status);
    r = fetch(srv.port(), get("/nothing.html"));
    ASSERT_TRUE(r);
    EXPECT_EQ(404, r->status);
    r = fetch(srv.port(), get("/login.html/x"));
    ASSERT_TRUE(r);
    EXPECT_EQ(404, r->status);
}

TEST_F(WebStatic, LastModifiedAndIfModifiedSince) {
    // A fixed modification time makes the dates exact.
    struct timespec times[2] = {{784111777, 0}, {784111777, 0}};  // Sun, 06 Nov 1994 08:49:37 GMT
    ASSERT_EQ(0, utimensat(AT_FDCWD, (dir / "web_root/login.html").c_str(), times, 0));
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    Client c(srv.port());
    ASSERT_TRUE(c.send(get("/login.html")));
    auto r = c.read();
    ASSERT_TRUE(r);
    EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", r->header("last-modified"));

    ASSERT_TRUE(c.send(get("/login.html", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n")));
    r = c.read();
    ASSERT_TRUE(r);
    EXPECT_EQ(304, r->status);
    EXPECT_EQ("", r->body);
    // Same connection still in step: no body was sent with the 304.
    ASSERT_TRUE(c.send(get("/login.html", "If-Modified-Since: Sun, 06 Nov 1994 08:49:36 GMT\r\n")));
    r = c.read();
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("<html>login</html>\n", r->body);
    ASSERT_TRUE(c.send(get("/login.html", "If-Modified-Since: yesterday\r\n")));
    r = c.read();
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
}

TEST_F(WebStatic, HeadSendsHeadersOnlyAndOtherMethodsAreRefused) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    Client c(srv.port());
    ASSERT_TRUE(c.send("HEAD /login.html HTTP/1.1\r\nHost: t\r\n\r\n"));
    auto r = c.read(true);
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("19", r->header("content-length"));
    EXPECT_EQ("text/html", r->header("content-type"));
    ASSERT_TRUE(c.send(get("/sub/login.html")));  // would read leftovers if HEAD had a body
    r = c.read();
    ASSERT_TRUE(r);
    EXPECT_EQ("<p>sub index</p>", r->body);

    r = fetch(srv.port(), "POST /login.html HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\n\r\nabc");
    ASSERT_TRUE(r);
    EXPECT_EQ(405, r->status);
    EXPECT_EQ("GET, HEAD", r->header("allow"));
    r = fetch(srv.port(), "DELETE /login.html HTTP/1.1\r\nHost: t\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(405, r->status);
}

TEST_F(WebStatic, PathsLeavingTheRootAreRefused) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    const char* attempts[] = {
        "/../secret.txt",         "/%2e%2e/secret.txt",         "/%2E%2E/secret.txt",
        "/.%2e/secret.txt",       "/sub/../../secret.txt",      "/sub/%2e%2e/%2e%2e/secret.txt",
        "/..%2fsecret.txt",       "/%2e%2e%2fsecret.txt",       "/..%5csecret.txt",
        "/..\\secret.txt",        "/sub%2f..%2f..%2fsecret.txt", "/abs_out",
        "/rel_out",               "/dir_out/secret.txt",        "/login.html%00.txt",
        "//../secret.txt",        "/%252e%252e/secret.txt",     "/sub/..",
    };
    for (const char* target : attempts) {
        auto r = fetch(srv.port(), get(target));
        ASSERT_TRUE(r) << target;
        EXPECT_TRUE(r->status == 403 || r->status == 404 || r->status == 400)
            << target << " gave " << r->status;
        EXPECT_EQ(std::string::npos, r->body.find("SECRET")) << target;
    }
    // A link that stays inside the root is followed.
    auto r = fetch(srv.port(), get("/inside_link.html"));
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("<p>sub index</p>", r->body);
}

TEST_F(WebStatic, DenyRulesCoverEncodedSpellings) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    for (const char* target : {"/config/route.txt", "/%63onfig/auth.txt", "/config", "/config/",
                               "/./config//route.txt"}) {
        auto r = fetch(srv.port(), get(target));
        ASSERT_TRUE(r) << target;
        EXPECT_EQ(403, r->status) << target;
    }
    auto r = fetch(srv.port(), get("/configuration.html"));
    ASSERT_TRUE(r);
    EXPECT_EQ(404, r->status);  // only the directory is denied
}

TEST_F(WebStatic, SpecialFilesAreNotServed) {
    ASSERT_EQ(0, mkfifo((dir / "web_root/pipe.txt").c_str(), 0600));
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    auto r = fetch(srv.port(), get("/pipe.txt"));  // must not hang on the FIFO
    ASSERT_TRUE(r);
    EXPECT_EQ(404, r->status);
}

TEST_F(WebStatic, RealpathOpenerRefusesTheSameEscapes) {
    // The path used on kernels without openat2.
    for (auto opener : {web::detail::DocumentRoot::Opener::Auto,
                        web::detail::DocumentRoot::Opener::Realpath}) {
        web::detail::DocumentRoot root;
        ASSERT_TRUE(root.open(dir / "web_root", opener));
        int fd = -1;
        off_t size = 0;
        std::time_t mtime = 0;
        std::string served;
        EXPECT_EQ(403, root.openDocument("rel_out", "login.html", fd, size, mtime, served));
        EXPECT_EQ(403, root.openDocument("abs_out", "login.html", fd, size, mtime, served));
        EXPECT_EQ(403, root.openDocument("dir_out/secret.txt", "login.html", fd, size, mtime, served));
        EXPECT_EQ(403, root.openDocument("../secret.txt", "login.html", fd, size, mtime, served));
        EXPECT_EQ(404, root.openDocument("missing", "login.html", fd, size, mtime, served));
        EXPECT_EQ(-1, fd);
        ASSERT_EQ(0, root.openDocument("sub", "login.html", fd, size, mtime, served));
        EXPECT_EQ("sub/login.html", served);
        EXPECT_EQ(16, size);
        ::close(fd);
        ASSERT_EQ(0, root.openDocument("inside_link.html", "login.html", fd, size, mtime, served));
        ::close(fd);
    }
}

}  // namespace
