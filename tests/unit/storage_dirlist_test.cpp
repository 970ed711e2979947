#include "storage/dirlist.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include "storage/videodir.h"
#include "storage_testdir.h"

using namespace storage;

struct Listing {
    std::vector<std::string> files, dirs;
    bool operator==(const Listing&) const = default;
};

// What a scan must give, from the order the file system returns names in: files in that order (the record list left
// out, a vanished file an empty place, the scan stopping at the 4096th), folders in reverse.
Listing expected(const std::string& dir) {
    Listing l;
    DIR* d = opendir(dir.c_str());
    while (const dirent* e = d ? readdir(d) : nullptr) {
        const std::string name = e->d_name;
        struct stat st {};
        if (name == "." || name == ".." || name == "recodefilelist.txt") continue;
        if (e->d_type == DT_DIR) {
            l.dirs.insert(l.dirs.begin(), name);
            continue;
        }
        l.files.push_back(stat((dir + "/" + name).c_str(), &st) == 0 ? name : "");
        if (l.files.size() == 4096) break;
    }
    if (d) closedir(d);
    return l;
}

Listing scanned(const NetsdkLink& link) {
    Listing l;
    for (const auto& e : link.head.files) l.files.push_back(e.name);
    for (const auto& n : link.nodes) l.dirs.push_back(n.name);
    return l;
}

TEST(StorageDirList, ScanOrderMarkerVanishedFilesAndNamesThatAreNotUtf8) {
    TestDir t;
    for (const char* f : {"b.mp4", "a.mp4", "bad\xff\xe5\x9b.mp4", "recodefilelist.txt"}) t.file(f);
    for (const char* d : {"d1", "d2", "x\xc0"}) t.dir(d);
    t.file("d1/inner.mp4");  // folders are not read
    ASSERT_EQ(symlink((t / "nowhere").c_str(), (t / "dangling.mp4").c_str()), 0);
    const Listing want = expected(t.path());
    ASSERT_EQ(want.files.size(), 4U);

    NetsdkLink link;
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR(t.path().c_str(), link, nullptr, 1), 0);
    EXPECT_EQ(scanned(link), want);
    JsonReply text;
    ASSERT_EQ(formatVideoDirParamJSON(text, &link, 1), 0);
    EXPECT_EQ(text->find("\"name\":\t\"\""), std::string::npos);  // a vanished file is not listed
    EXPECT_NE(text->find("\"bad\xef\xbf\xbd\xef\xbf\xbd.mp4\""), std::string::npos);  // U+FFFD per bad part

    NetsdkLink folders;  // grade 0: folders only
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR(t.path().c_str(), folders, nullptr, 0), 0);
    EXPECT_EQ(scanned(folders), (Listing{{}, want.dirs}));
    ASSERT_EQ(formatVideoDirParamJSON(text, &folders, 0), 0);
    EXPECT_NE(text->find("\"x\xef\xbf\xbd\""), std::string::npos);
}

TEST(StorageDirList, ScanStopsAtTheFileThatFillsTheLastPlace) {
    TestDir t;
    // Appended rather than "f" + std::to_string(i): GCC 12 at -O3 warns a false -Wrestrict on the latter.
    for (int i = 0; i < 5000; ++i) t.file(std::string("f").append(std::to_string(i)));
    for (int i = 0; i < 20; ++i) t.dir("sub" + std::to_string(i));
    const Listing want = expected(t.path());
    ASSERT_EQ(want.files.size(), 4096U);
    NetsdkLink link;
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR(t.path().c_str(), link, nullptr, 1), 0);
    EXPECT_EQ(scanned(link), want);
}

TEST(StorageDirList, LongNamesStayWholeAndRecordingsAreMarked) {
    TestDir t;
    const std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e');
    const std::string name = std::string(200, 'n') + ".mp4";
    t.file(deep + "/" + name, "abc");
    NetsdkLink link;
    ASSERT_EQ(NETSDK_LINK_SERCH_DIR((t / deep).c_str(), link, ("x " + name + " y").c_str(), 1), 0);
    EXPECT_EQ(scanned(link), (Listing{{name}, {}}));
    EXPECT_EQ(link.head.files[0].size, 3);
    EXPECT_EQ(link.head.files[0].time.substr(8), " recording...");
}
