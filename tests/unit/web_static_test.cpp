// Static documents over HTTP: index pages, 404, deny rules and paths trying
// to leave the document root. (304, HEAD and the session rule: end to end.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "web/static_files.h"
#include "web_test_support.h"

using namespace webtest;

const std::string kLogin = "<html>login</html>\n", kSub = "<p>sub index</p>";

class WebStatic : public ::testing::Test {
protected:
    void SetUp() override {
        site.file("secret.txt", "SECRET outside the root\n");
        site.file("web_root/sub/index.txt", "not the index\n");
        site.file("web_root/sub/login.html", kSub);
        site.file("web_root/my file+x.txt", "spaced");
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
    Response r = fetch(srv.port(), post("/login.html", "abc"));  // documents take GET and HEAD only
    EXPECT_EQ(std::pair(405, std::string("GET, HEAD")), std::pair(r.status, r.header("Allow")));
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
