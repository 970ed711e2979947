// Storing the upgrade image: whole or not at all, in-memory or spooled.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "dispatch/upgrade.h"

namespace {

class UpgradeImage : public ::testing::Test {
protected:
    void SetUp() override {
        std::string t = ::testing::TempDir() + "dispatch_upgrade_XXXXXX";
        ASSERT_NE(::mkdtemp(t.data()), nullptr);
        dir = t + "/";
        target = dir + "upgrade";
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        (void)!std::system(cmd.c_str());
    }
    std::string read(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    int count() {
        int n = 0;
        DIR* d = ::opendir(dir.c_str());
        while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.' || e->d_name[1] == 'w';
        ::closedir(d);
        return n;
    }
    std::string dir, target;
};

}  // namespace

TEST_F(UpgradeImage, InMemoryBodyWithNulBytesIsWrittenWhole) {
    const std::string body("ab\0cd\0\0ef", 9);
    ASSERT_EQ(save_upgrade_image(body, "", target), 0);
    EXPECT_EQ(read(target), body);
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // an empty body still gives an (empty) image, replacing the old one
    ASSERT_EQ(save_upgrade_image("", "", target), 0);
    EXPECT_EQ(read(target), "");
    EXPECT_EQ(count(), 1);
}

TEST_F(UpgradeImage, SpooledBodyIsMovedIntoPlace) {
    const std::string spool = dir + "spool";
    std::ofstream(spool, std::ios::binary) << std::string(3 << 20, 'u');
    ASSERT_EQ(save_upgrade_image("", spool, target), 0);
    EXPECT_EQ(read(target).size(), std::size_t(3 << 20));
    EXPECT_NE(::access(spool.c_str(), F_OK), 0);
    EXPECT_EQ(count(), 1);
}

TEST_F(UpgradeImage, FailureLeavesTheOldImage) {
    std::ofstream(target) << "old image";
    EXPECT_EQ(save_upgrade_image("new", dir + "missing_spool", target), -1);
    EXPECT_EQ(read(target), "old image");
    EXPECT_EQ(save_upgrade_image("new", "", dir + "nofolder/upgrade"), -1);
    // a folder in the way of the rename
    ::mkdir((dir + "blocked").c_str(), 0700);
    std::ofstream(dir + "blocked/x") << "x";
    EXPECT_EQ(save_upgrade_image("new", "", dir + "blocked"), -1);
    EXPECT_EQ(count(), 2);  // "upgrade" and "blocked", no temporary left over
    EXPECT_EQ(read(target), "old image");
}
