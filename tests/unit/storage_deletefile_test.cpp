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

TEST(StorageDeleteFile, OnlyNamesThatStayOnTheCardAreAllowed) {
    TestDir t;
    for (const char* f : {"sd/keep.mp4", "sd/folder/in.mp4", "outside/victim.mp4"}) t.file(f);
    const std::string root = t / "sd";
    ASSERT_EQ(symlink((t / "outside").c_str(), (root + "/escape").c_str()), 0);
    ASSERT_EQ(symlink((t / "outside/none").c_str(), (root + "/escape/dangling").c_str()), 0);
    ASSERT_EQ(symlink("gone.mp4", (root + "/dangling.mp4").c_str()), 0);

    // Beside the absolute, "..", linked and over-long names the end-to-end test refuses: a dangling or missing name in
    // a folder off the card, the card root, a name leaving a folder.
    for (const std::string bad : {"escape/dangling", "escape/not-there", ".", "folder/.."})
        EXPECT_FALSE(deletionNameAllowed(root, bad)) << bad;
    // Names that stay on the card are allowed, missing and dangling ones included.
    for (const std::string& ok : std::vector<std::string>{"keep.mp4", "folder/in.mp4", "folder/", "./keep.mp4",
                                                          "missing/deeper.mp4", "dangling.mp4", std::string(63, 'y')})
        EXPECT_TRUE(deletionNameAllowed(root, ok)) << ok;
}
