// Configuration files: fixed-size records, whole-file texts, and atomic
// replacement that leaves the old file whole when a write fails.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>

#include "config/cfgfile.h"
#include "storage_testdir.h"

namespace fs = std::filesystem;

class CfgFile : public ::testing::Test {
protected:
    std::string path(const char* name) const { return t / name; }
    long entries() const { return std::distance(fs::directory_iterator(t.path()), fs::directory_iterator()); }
    TestDir t;
};

TEST_F(CfgFile, RecordsRoundTripAtTheirExactSizeOnly) {
    const std::string p = path("language_para");
    std::string rec(260, 'a');
    rec[0] = '\0';  // records hold binary data
    t.file("language_para", std::string(2048, 'L'));
    ASSERT_EQ(0, http_set_cfgfile(p.c_str(), rec.data(), 260));
    EXPECT_EQ(rec, t.read("language_para"));  // nothing of the longer old file is left
    EXPECT_EQ(1, entries());  // nor a temporary file
    std::string buf(261, '#');
    ASSERT_EQ(0, http_get_cfgfile(p.c_str(), buf.data(), 260));
    EXPECT_EQ(rec + "#", buf);
    for (size_t size : {259u, 261u}) {  // a file one byte shorter or longer: refused, buffer left alone
        t.file("language_para", std::string(size, 'b'));
        buf.assign(261, '#');
        EXPECT_EQ(-1, http_get_cfgfile(p.c_str(), buf.data(), 260)) << size;
        EXPECT_EQ(std::string(261, '#'), buf);
    }
    EXPECT_EQ(-1, http_get_cfgfile(path("none").c_str(), buf.data(), 16));
}

TEST_F(CfgFile, BadArgumentsAndUnusablePaths) {
    char b[8] = {};
    const std::string xs = path("x"), nowhere = path("no/such/file"), folder = path("");
    const char* x = xs.c_str();
    const int invalid[] = {http_get_cfgfile(nullptr, b, 8), http_get_cfgfile(x, nullptr, 8), http_get_cfgfile(x, b, 0),
                           http_set_cfgfile(nullptr, b, 8), http_set_cfgfile(x, nullptr, 8), http_set_cfgfile(x, b, 0),
                           http_set_cfgfile(x, b, -4)};
    for (int rc : invalid) EXPECT_EQ(-2, rc);
    const int failed[] = {http_set_cfgfile(nowhere.c_str(), b, 4), http_set_jsoncfgfile(nowhere.c_str(), "{}"),
                          http_set_cfgfile(folder.c_str(), b, 4),  // a folder in the file's place
                          http_set_jsoncfgfile(nullptr, "{}"), http_set_jsoncfgfile(x, nullptr)};
    for (int rc : failed) EXPECT_EQ(-7, rc);
    EXPECT_EQ(0, entries());
}

// A write that runs out of room (the file size limit here, as on a full card)
// returns -7, removes its temporary file and leaves the old file whole.
TEST_F(CfgFile, FailedWriteLeavesTheOldFileWhole) {
    const std::string rec = path("record"), txt = path("params.json");
    const std::string oldRecord(64, 'o'), oldText = "{\n\t\"Port\":\t8080\n}";
    t.file("record", oldRecord);
    t.file("params.json", oldText);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim {10, 10};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(10);
        const std::string big(300, 'n');
        bool failed = http_set_cfgfile(rec.c_str(), big.data(), 260) == -7 &&
                      http_set_jsoncfgfile(txt.c_str(), big.c_str()) == -7;
        ::_exit(failed ? 0 : 20);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(oldRecord, t.read("record"));
    EXPECT_EQ(oldText, t.read("params.json"));
    EXPECT_EQ(2, entries());
}

TEST_F(CfgFile, NewFilesGetTheirModesReplacedOnesKeepModeAndLink) {
    const mode_t old = ::umask(0);
    EXPECT_EQ(0, http_set_cfgfile(path("rec").c_str(), "abcd", 4));
    EXPECT_EQ(0, http_set_jsoncfgfile(path("json").c_str(), "{}"));
    ::umask(old);
    EXPECT_EQ(fs::perms(0666), fs::status(path("json")).permissions());
    ASSERT_EQ(0, ::chmod(path("json").c_str(), 0600));
    EXPECT_EQ(0, http_set_jsoncfgfile(path("json").c_str(), "{}"));
    EXPECT_EQ(fs::perms(0664), fs::status(path("rec")).permissions());
    EXPECT_EQ(fs::perms(0600), fs::status(path("json")).permissions());

    t.file("real", "old");
    fs::create_symlink("real", path("link"));
    ASSERT_EQ(0, http_set_jsoncfgfile(path("link").c_str(), "new"));
    EXPECT_TRUE(fs::is_symlink(path("link")));
    EXPECT_EQ("new", t.read("real"));
}

// Whole-file reads are tested end to end (capability documents present, missing and empty; the web port file).
