#include "storage/dirlist.h"

#include <gtest/gtest.h>

#include <ctime>

#include "storage_testdir.h"

using namespace storage;

namespace {

std::vector<std::string> fileNames(const NetsdkDirNode& node) {
    std::vector<std::string> out;
    for (const auto& e : node.files) out.push_back(e.name);
    return out;
}

std::vector<std::string> nodeNames(const NetsdkLink& link) {
    std::vector<std::string> out;
    for (const auto& n : link.nodes) out.push_back(n.name);
    return out;
}

std::string ctimeText(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    struct tm t {};
    localtime_r(&st.st_ctime, &t);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

}  // namespace

TEST(StorageDirList, ListOperations) {
    auto link = NETSDK_CREATE_LINK();
    ASSERT_TRUE(link);
    EXPECT_EQ(link->head.lastIndex(), -1);
    EXPECT_EQ(NETSDK_LINK_ISNULL(*link), 1);
    EXPECT_EQ(NETSDK_LINK_DEL_HEAD_LINK(*link), -1);
    EXPECT_EQ(NETSDK_LINK_PRINTF_LINK(*link), -1);

    NetsdkDirNode node;
    node.name = "first";
    ASSERT_EQ(NETSDK_LINK_INS_HEAD_LINK(*link, node), 0);
    node.name = "second";
    ASSERT_EQ(NETSDK_LINK_INS_HEAD_LINK(*link, node), 0);
    node.name = "changed later";  // the list holds its own copy
    EXPECT_EQ(NETSDK_LINK_ISNULL(*link), 0);
    EXPECT_EQ(nodeNames(*link), (std::vector<std::string>{"second", "first"}));
    EXPECT_EQ(NETSDK_LINK_PRINTF_LINK(*link), 0);

    EXPECT_EQ(NETSDK_LINK_DEL_HEAD_LINK(*link), 0);
    EXPECT_EQ(nodeNames(*link), (std::vector<std::string>{"first"}));
    EXPECT_EQ(NETSDK_LINK_CLEAN_LINK(*link), 0);
    EXPECT_EQ(NETSDK_LINK_ISNULL(*link), 1);
}

TEST(StorageDirList, FileStatusFillsAnEntry) {
    TestDir t;
    t.file("20240101000000.mp4", std::string(1234, 'v'));
    NetsdkFileEntry e;
    ASSERT_EQ(NETSDK_GET_FILE_stat((t / "20240101000000.mp4").c_str(), e, nullptr), 0);
    EXPECT_EQ(e.size, 1234);
    EXPECT_EQ(e.name, "20240101000000.mp4");
    EXPECT_EQ(e.time, ctimeText(t / "20240101000000.mp4"));

    // A name found in the recording list is marked.
    ASSERT_EQ(NETSDK_GET_FILE_stat((t / "20240101000000.mp4").c_str(), e, "x 20240101000000.mp4 y"), 0);
    EXPECT_EQ(e.time, ctimeText(t / "20240101000000.mp4") + " recording...");
    ASSERT_EQ(NETSDK_GET_FILE_stat((t / "20240101000000.mp4").c_str(), e, ""), 0);
    EXPECT_EQ(e.time.size(), 8U);

    // Missing file or no path: -1 and the entry keeps what it had.
    EXPECT_EQ(NETSDK_GET_FILE_stat((t / "gone.mp4").c_str(), e, nullptr), -1);
    EXPECT_EQ(e.name, "20240101000000.mp4");
    EXPECT_EQ(NETSDK_GET_FILE_stat(nullptr, e, nullptr), -1);
}

TEST(StorageDirList, ScanKeepsFileOrderAndReversesFolders) {
    TestDir t;
    for (const char* f : {"b.mp4", "a.mp4", "c.jpg", "20240101000000.mp4"}) t.file(f);
    for (const char* d : {"d1", "d2", "2024-01-01"}) t.dir(d);
    t.file("d1/inner.mp4");  // folders are not read
    const ScanOrder order = scanOrder(t.path());

    auto link = NETSDK_CREATE_LINK();
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR(t.path().c_str(), *link, nullptr, 1), 0);
    EXPECT_EQ(fileNames(link->head), order.files);
    EXPECT_EQ(link->head.lastIndex(), 3);
    std::vector<std::string> reversed(order.dirs.rbegin(), order.dirs.rend());
    EXPECT_EQ(nodeNames(*link), reversed);
    for (const auto& node : link->nodes) EXPECT_TRUE(node.files.empty());
    for (const auto& e : link->head.files) {
        EXPECT_EQ(e.size, 1);
        EXPECT_EQ(e.time, ctimeText(t / e.name));
    }

    // Grade 0: folders only.
    auto folders = NETSDK_CREATE_LINK();
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR(t.path().c_str(), *folders, nullptr, 0), 0);
    EXPECT_EQ(folders->head.lastIndex(), -1);
    EXPECT_EQ(nodeNames(*folders), reversed);
}

TEST(StorageDirList, ScanSkipsTheRecordListAndKeepsPlacesOfVanishedFiles) {
    TestDir t;
    t.file("recodefilelist.txt");
    t.file("a.mp4");
    // A link whose target is gone has no status: its place stays empty.
    ASSERT_EQ(symlink((t / "nowhere").c_str(), (t / "dangling.mp4").c_str()), 0);
    const ScanOrder order = scanOrder(t.path());

    auto link = NETSDK_CREATE_LINK();
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR(t.path().c_str(), *link, nullptr, 1), 0);
    ASSERT_EQ(link->head.lastIndex(), 1);
    std::vector<std::string> expected;
    for (const auto& f : order.files) {
        if (f == "recodefilelist.txt") continue;
        expected.push_back(f == "dangling.mp4" ? "" : f);
    }
    EXPECT_EQ(fileNames(link->head), expected);
}

TEST(StorageDirList, ScanStopsAtTheFileThatFillsTheLastPlace) {
    TestDir t;
    for (int i = 0; i < 5000; ++i) t.file("f" + std::to_string(i));
    for (int i = 0; i < 20; ++i) t.dir("sub" + std::to_string(i));
    t.file("recodefilelist.txt");
    const ScanOrder order = scanOrder(t.path());

    std::vector<std::string> files;
    std::vector<std::string> dirs;
    for (const auto& name : order.all) {
        if (name.back() == '/') {
            dirs.insert(dirs.begin(), name.substr(0, name.size() - 1));
        } else if (name != "recodefilelist.txt") {
            files.push_back(name);
            if (files.size() == 4096) break;
        }
    }

    auto link = NETSDK_CREATE_LINK();
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR(t.path().c_str(), *link, nullptr, 1), 0);
    EXPECT_EQ(link->head.lastIndex(), 4095);
    EXPECT_EQ(fileNames(link->head), files);
    EXPECT_EQ(nodeNames(*link), dirs);

    // Grade 0 skips files, so no cut-off: every folder is seen.
    auto folders = NETSDK_CREATE_LINK();
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR(t.path().c_str(), *folders, nullptr, 0), 0);
    EXPECT_EQ(folders->nodes.size(), 20U);
}

TEST(StorageDirList, LongNamesAndPathsStayWhole) {
    TestDir t;
    const std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e');
    t.dir(deep);
    const std::string long_name = std::string(200, 'n') + ".mp4";
    t.file(deep + "/" + long_name, "abc");
    t.dir(deep + "/" + std::string(180, 's'));

    auto link = NETSDK_CREATE_LINK();
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR((t / deep).c_str(), *link, nullptr, 1), 0);
    ASSERT_EQ(link->head.files.size(), 1U);
    EXPECT_EQ(link->head.files[0].name, long_name);
    EXPECT_EQ(link->head.files[0].size, 3);
    EXPECT_EQ(nodeNames(*link), (std::vector<std::string>{std::string(180, 's')}));
}

TEST(StorageDirList, ScanOfMissingFolderLeavesTheListAlone) {
    TestDir t;
    auto link = NETSDK_CREATE_LINK();
    link->head.files.emplace_back();
    EXPECT_EQ(NETSDK_LINK_SERCH_DIR((t / "missing").c_str(), *link, nullptr, 1), -1);
    EXPECT_EQ(NETSDK_LINK_SERCH_DIR(nullptr, *link, nullptr, 1), -1);
    EXPECT_EQ(link->head.files.size(), 1U);
    EXPECT_EQ(NETSDK_LINK_ISNULL(*link), 1);
}
