#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "config/cfgfile.h"

namespace {

class CfgFile : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "cfgfileXXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(::mkdtemp(buf.data()), nullptr);
        dir = buf.data();
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string path(const char* name) const { return dir + "/" + name; }

    static void writeRaw(const std::string& p, const std::string& bytes) {
        std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
    }
    static std::string readRaw(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::set<std::string> entries() const {
        std::set<std::string> names;
        DIR* d = ::opendir(dir.c_str());
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.insert(n);
        }
        ::closedir(d);
        return names;
    }
    static mode_t modeOf(const std::string& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0);
        return st.st_mode & 07777;
    }
};

std::string record(char fill, size_t size = 260) {
    return std::string(size, fill);
}

TEST_F(CfgFile, RecordRoundTripAndSizeRules) {
    const std::string p = path("language_para");
    std::string rec = record('a');
    rec[0] = '\0';  // records hold binary data
    ASSERT_EQ(http_set_cfgfile(p.c_str(), rec.data(), 260), 0);
    EXPECT_EQ(readRaw(p), rec);

    char buf[261];
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(http_get_cfgfile(p.c_str(), buf, 260), 0);
    EXPECT_EQ(std::string(buf, 260), rec);
    EXPECT_EQ(buf[260], '#');

    // A file one byte shorter or longer than the record is refused and the
    // buffer is left alone.
    for (size_t size : {259u, 261u}) {
        writeRaw(p, record('b', size));
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(http_get_cfgfile(p.c_str(), buf, 260), -1) << size;
        EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#'));
    }
}

TEST_F(CfgFile, MissingFileIsMinusOneUnreadableIsMinusSeven) {
    char buf[16];
    EXPECT_EQ(http_get_cfgfile(path("none").c_str(), buf, sizeof buf), -1);

    // Right size but not readable as a file: open/read fails.
    ASSERT_EQ(::mkdir(path("adir").c_str(), 0755), 0);
    struct stat st {};
    ASSERT_EQ(::stat(path("adir").c_str(), &st), 0);
    if (st.st_size <= 0) GTEST_SKIP() << "folders have no size on this file system";
    std::vector<char> big(static_cast<size_t>(st.st_size));
    EXPECT_EQ(http_get_cfgfile(path("adir").c_str(), big.data(), static_cast<long>(big.size())), -7);
}

TEST_F(CfgFile, InvalidArgumentsAreRefusedWithoutCreatingFiles) {
    char buf[8] = {};
    EXPECT_EQ(http_get_cfgfile(nullptr, buf, 8), -2);
    EXPECT_EQ(http_get_cfgfile(path("x").c_str(), nullptr, 8), -2);
    EXPECT_EQ(http_get_cfgfile(path("x").c_str(), buf, 0), -2);
    EXPECT_EQ(http_set_cfgfile(nullptr, buf, 8), -2);
    EXPECT_EQ(http_set_cfgfile(path("x").c_str(), nullptr, 8), -2);
    EXPECT_EQ(http_set_cfgfile(path("x").c_str(), buf, 0), -2);
    EXPECT_EQ(http_set_cfgfile(path("x").c_str(), buf, -4), -2);
    EXPECT_TRUE(entries().empty());
}

TEST_F(CfgFile, ReplaceLeavesNoOldBytesAndNoTemporaryFiles) {
    const std::string p = path("usermgnt_para");
    writeRaw(p, record('L', 2048));
    const std::string shorter = record('s', 100);
    ASSERT_EQ(http_set_cfgfile(p.c_str(), shorter.data(), 100), 0);
    EXPECT_EQ(readRaw(p), shorter);

    ASSERT_EQ(http_set_jsoncfgfile(p.c_str(), "{}"), 0);
    EXPECT_EQ(readRaw(p), "{}");
    EXPECT_EQ(entries(), std::set<std::string>{"usermgnt_para"});
}

TEST_F(CfgFile, WriteIntoMissingFolderFailsWithMinusSeven) {
    const std::string p = path("no/such/file");
    char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(http_set_cfgfile(p.c_str(), buf, 4), -7);
    EXPECT_EQ(http_set_jsoncfgfile(p.c_str(), "{}"), -7);
    EXPECT_EQ(http_set_jsoncfgfile(nullptr, "{}"), -7);
    EXPECT_EQ(http_set_jsoncfgfile(path("t").c_str(), nullptr), -7);

    // A folder in the file's place fails at the open, as reported.
    ASSERT_EQ(::mkdir(path("adir").c_str(), 0755), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(http_set_cfgfile(path("adir").c_str(), buf, 4), -7);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(" open/creat file["), std::string::npos);
}

// A write that runs out of room (here: the file size limit, as on a full
// card) returns -7, removes its temporary file and leaves the old file whole.
TEST_F(CfgFile, FailedWriteLeavesOldFileWhole) {
    const std::string rec = path("record");
    const std::string txt = path("params.json");
    const std::string oldRecord = record('o', 64);
    const std::string oldText = "{\n\t\"Port\":\t8080\n}";
    writeRaw(rec, oldRecord);
    writeRaw(txt, oldText);

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim {};
        lim.rlim_cur = lim.rlim_max = 10;
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(10);
        const std::string bigRecord = record('n', 260);
        const std::string bigText(300, 'x');
        int a = http_set_cfgfile(rec.c_str(), bigRecord.data(), 260);
        int b = http_set_jsoncfgfile(txt.c_str(), bigText.c_str());
        ::_exit(a == -7 && b == -7 ? 0 : 20);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    EXPECT_EQ(readRaw(rec), oldRecord);
    EXPECT_EQ(readRaw(txt), oldText);
    EXPECT_EQ(entries(), (std::set<std::string>{"record", "params.json"}));
    char buf[64];
    EXPECT_EQ(http_get_cfgfile(rec.c_str(), buf, 64), 0);
}

// Another process reading the file while it is rewritten sees either the
// old or the new contents, never a mix or a short file.
TEST_F(CfgFile, ReadersInOtherProcessesNeverSeePartialFiles) {
    const std::string p = path("shared");
    const std::string a = record('A', 4096);
    const std::string b = record('B', 2048);
    ASSERT_EQ(http_set_cfgfile(p.c_str(), a.data(), 4096), 0);

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int i = 0; i < 2000; ++i) {
            std::string got = readRaw(p);
            if (got != a && got != b) ::_exit(1);
        }
        ::_exit(0);
    }
    for (int i = 0; i < 300; ++i) {
        const std::string& next = (i % 2) ? a : b;
        ASSERT_EQ(http_set_cfgfile(p.c_str(), next.data(), static_cast<int>(next.size())), 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(CfgFile, PermissionBits) {
    mode_t old = ::umask(0);
    char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(http_set_cfgfile(path("rec").c_str(), data, 4), 0);
    EXPECT_EQ(http_set_jsoncfgfile(path("json").c_str(), "{}"), 0);
    EXPECT_EQ(modeOf(path("rec")), 0664u);
    EXPECT_EQ(modeOf(path("json")), 0666u);

    // A replaced file keeps its bits; the umask applies to new files only.
    ASSERT_EQ(::chmod(path("rec").c_str(), 0600), 0);
    EXPECT_EQ(http_set_cfgfile(path("rec").c_str(), data, 4), 0);
    EXPECT_EQ(modeOf(path("rec")), 0600u);
    ::umask(022);
    EXPECT_EQ(http_set_cfgfile(path("rec2").c_str(), data, 4), 0);
    EXPECT_EQ(modeOf(path("rec2")), 0644u);
    ::umask(old);
}

TEST_F(CfgFile, WriteThroughSymbolicLinkKeepsTheLink) {
    writeRaw(path("real"), "old");
    ASSERT_EQ(::symlink("real", path("link").c_str()), 0);
    ASSERT_EQ(http_set_jsoncfgfile(path("link").c_str(), "new"), 0);
    struct stat st {};
    ASSERT_EQ(::lstat(path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readRaw(path("real")), "new");
}

TEST_F(CfgFile, DataFileReads) {
    writeRaw(path("five"), std::string("ab\0de", 5));
    auto five = http_get_datafile(path("five").c_str());
    ASSERT_TRUE(five);
    EXPECT_EQ(*five, std::string("ab\0de", 5));
    EXPECT_EQ(five->c_str()[5], '\0');

    writeRaw(path("empty"), "");
    EXPECT_FALSE(http_get_datafile(path("empty").c_str()));
    EXPECT_FALSE(http_get_datafile(path("missing").c_str()));
    EXPECT_FALSE(http_get_datafile(nullptr));
    ASSERT_EQ(::mkdir(path("adir").c_str(), 0755), 0);
    EXPECT_FALSE(http_get_datafile(path("adir").c_str()));
}

TEST_F(CfgFile, JsonTextFiles) {
    ASSERT_EQ(http_set_jsoncfgfile(path("empty.json").c_str(), ""), 0);
    EXPECT_EQ(readRaw(path("empty.json")), "");
    auto empty = http_get_jsoncfgfile(path("empty.json").c_str());
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, "");

    const char* text = "{\n\t\"Port\":\t80\n}";
    ASSERT_EQ(http_set_jsoncfgfile(path("p.json").c_str(), text), 0);
    EXPECT_EQ(http_get_jsoncfgfile(path("p.json").c_str()).value_or("?"), text);
    EXPECT_FALSE(http_get_jsoncfgfile(path("missing.json").c_str()));
}

}  // namespace
