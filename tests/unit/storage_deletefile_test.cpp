#include "storage/deletefile.h"

#include <gtest/gtest.h>

#include <vector>

#include "storage_testdir.h"

using namespace storage;

TEST(StorageDeleteFile, ReaderTakesAtMost4096NamesUncut) {
    std::string body = R"({"mode":0,"file":[")" + std::string(100, 'n') + "\",5";
    for (int i = 0; i < 5000; ++i) body += ",\"x\"";
    StorageDeleteRequest r;
    ASSERT_EQ(getStorageFileParamFromJSON((body + "]}").c_str(), r), 0);
    ASSERT_EQ(r.names.size(), 4096U);
    EXPECT_EQ(r.names[0].size(), 100U);
    EXPECT_EQ(r.names[1], "");  // a non-string item leaves its place empty
}

TEST(StorageDeleteFile, NamesOffTheCardRefuseTheWholeRequest) {
    TestDir t;
    t.dir("sd/folder");
    t.file("sd/recodefilelist.txt");
    t.file("sd/keep.mp4");
    t.file("sd/folder/in.mp4");
    t.dir("outside");
    t.file("outside/victim.mp4");
    const std::string root = t / "sd";
    ASSERT_EQ(symlink((t / "outside").c_str(), (root + "/escape").c_str()), 0);
    ASSERT_EQ(symlink((t / "outside/victim.mp4").c_str(), (root + "/link.mp4").c_str()), 0);
    ASSERT_EQ(symlink((t / "outside/none").c_str(), (root + "/escape/dangling").c_str()), 0);
    ASSERT_EQ(symlink("gone.mp4", (root + "/dangling.mp4").c_str()), 0);

    const std::string refused[] = {
        t / "outside/victim.mp4",  // absolute
        "../outside/victim.mp4", "folder/../../outside/victim.mp4", "folder/..",
        "escape/victim.mp4",   // through a folder link
        "link.mp4",            // a link to a file off the card
        "escape",              // a link to a folder off the card
        "escape/dangling",     // dangling, in a folder off the card
        "escape/not-there",    // missing, in a folder off the card
        ".",                   // the card root itself
        std::string(64, 'x'),  // longer than 63 characters: refused, never cut
    };
    for (const std::string& bad : refused) EXPECT_FALSE(deletionNameAllowed(root, bad)) << bad;
    // One such name refuses the whole request: nothing is removed.
    JsonReply out;
    const std::string body = R"({"mode":1,"file":["keep.mp4","link.mp4"]})";
    EXPECT_EQ(deleteStorageFiles(body.c_str(), out, root.c_str(), (root + "/recodefilelist.txt").c_str()), -1);
    EXPECT_TRUE(t.exists("sd/keep.mp4") && t.exists("outside/victim.mp4"));
    // Names that stay on the card are allowed, missing and dangling ones included.
    for (const std::string& ok : std::vector<std::string>{"keep.mp4", "folder/in.mp4", "folder/", "./keep.mp4",
                                                          "missing/deeper.mp4", "dangling.mp4", std::string(63, 'y')})
        EXPECT_TRUE(deletionNameAllowed(root, ok)) << ok;
}
