// Storing the upgrade image: whole or not at all. (A spooled image moved into
// place is tested end to end with a 256 MiB upgrade.)
#include "actions/upgrade.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "storage_testdir.h"

TEST(UpgradeImage, FailureLeavesTheOldImage) {
    TestDir t;
    t.file("upgrade", "old image");
    EXPECT_EQ(saveUpgradeImage("new", t / "missing_spool", t / "upgrade"), -1);
    EXPECT_EQ(saveUpgradeImage("new", "", t / "nofolder/upgrade"), -1);
    t.dir("blocked/x");  // a folder in the way of the rename
    EXPECT_EQ(saveUpgradeImage("new", "", t / "blocked"), -1);
    EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(t.path()), {}));  // no temporary left over
    EXPECT_EQ(t.read("upgrade"), "old image");
}
