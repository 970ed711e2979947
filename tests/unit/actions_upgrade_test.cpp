// Storing the upgrade image: whole or not at all, in-memory or spooled.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "actions/upgrade.h"

namespace fs = std::filesystem;

namespace {

class UpgradeImage : public ::testing::Test {
protected:
    void SetUp() override {
        std::string t = ::testing::TempDir() + "dispatch_upgrade_XXXXXX";
        ASSERT_NE(::mkdtemp(t.data()), nullptr);
        dir = t + "/";
        target = dir + "upgrade";
    }
    void TearDown() override { fs::remove_all(dir); }
    static std::string read(const std::string& p) { std::ifstream f(p); return {std::istreambuf_iterator<char>(f), {}}; }
    // Entries of the folder, hidden ones included.
    std::size_t count() const { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); }
    std::string dir, target;
};

}  // namespace

TEST_F(UpgradeImage, FailureLeavesTheOldImage) {
    std::ofstream(target) << "old image";
    EXPECT_EQ(saveUpgradeImage("new", dir + "missing_spool", target), -1);
    EXPECT_EQ(saveUpgradeImage("new", "", dir + "nofolder/upgrade"), -1);
    // a folder in the way of the rename
    fs::create_directories(dir + "blocked/x");
    EXPECT_EQ(saveUpgradeImage("new", "", dir + "blocked"), -1);
    EXPECT_EQ(count(), 2u);  // "upgrade" and "blocked", no temporary left over
    EXPECT_EQ(read(target), "old image");
}
