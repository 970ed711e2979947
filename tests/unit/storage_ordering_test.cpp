#include "storage/ordering.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using namespace storage;

namespace {

NetsdkFileEntry entry(const std::string& name, std::int64_t size = 0, const std::string& time = "") {
    NetsdkFileEntry e;
    e.name = name;
    e.size = size;
    e.time = time;
    return e;
}

std::vector<std::string> names(const NetsdkDirNode& node) {
    std::vector<std::string> out;
    for (const auto& e : node.files) out.push_back(e.name);
    return out;
}

}  // namespace

TEST(StorageOrdering, FileCompareLooksAtEverySecondField) {
    EXPECT_EQ(NETSDK_LINK_FILE_THAN("20240101120000.mp4", "20240101120001.mp4"), -1);
    EXPECT_EQ(NETSDK_LINK_FILE_THAN("20240101120001.mp4", "20240101120000.mp4"), 1);
    EXPECT_EQ(NETSDK_LINK_FILE_THAN("20240101120000.mp4", "20240101120000.mp4"), -1);
    // Year beats every later field; only the first 14 characters count.
    EXPECT_EQ(NETSDK_LINK_FILE_THAN("20250101000000_a.mp4", "20241231235959_z.mp4"), 1);
    EXPECT_EQ(NETSDK_LINK_FILE_THAN("20240101000000_b", "20240101000000_a"), -1);
    EXPECT_EQ(NETSDK_LINK_FILE_THAN(nullptr, "x"), -1);
    EXPECT_EQ(NETSDK_LINK_FILE_THAN("x", nullptr), -1);
}

TEST(StorageOrdering, FieldsReadLikeStrtol) {
    // A blank and a sign are accepted, reading stops at a non-digit.
    EXPECT_EQ(NETSDK_LINK_FILE_NUM("2024010203040"), 2024 + 1 + 2 + 3 + 4 + 0);
    EXPECT_EQ(NETSDK_LINK_FILE_NUM("20240102030405.mp4"), 2024 + 1 + 2 + 3 + 4 + 5);
    EXPECT_EQ(NETSDK_LINK_FILE_NUM(" -1201"), -12 + 1);  // " -12" then "01"
    EXPECT_EQ(NETSDK_LINK_FILE_NUM("abcd"), 0);
    EXPECT_EQ(NETSDK_LINK_FILE_NUM("1a3"), 1);
    EXPECT_EQ(NETSDK_LINK_FILE_NUM(""), 0);
    EXPECT_EQ(NETSDK_LINK_FILE_NUM(nullptr), -1);
    EXPECT_EQ(NETSDK_LINK_FILE_THAN("-001", "0000"), -1);
}

TEST(StorageOrdering, DirectoryCompareUsesTheDate) {
    EXPECT_EQ(NETSDK_LINK_DIR_THAN("2024-03-01", "2024-02-28"), 1);
    EXPECT_EQ(NETSDK_LINK_DIR_THAN("2024-02-28", "2024-03-01"), -1);
    EXPECT_EQ(NETSDK_LINK_DIR_THAN("2025-01-01", "2024-12-31"), 1);
    EXPECT_EQ(NETSDK_LINK_DIR_THAN("2024-01-31", "2025-01-01"), -1);
    EXPECT_EQ(NETSDK_LINK_DIR_THAN("2024_03_01", "2024-03-01"), -1);  // any separator, equal
    EXPECT_EQ(NETSDK_LINK_DIR_THAN(nullptr, "2024-03-01"), -1);
}

TEST(StorageOrdering, SortMovesWholeEntries) {
    NetsdkDirNode node;
    node.files = {entry("20240102000000.mp4", 2, "00:00:02"), entry("20240101000000.mp4", 1, "00:00:01"),
                  entry("20240103000000.mp4", 3, "00:00:03")};
    ASSERT_EQ(NETSDK_LINK_FILE_SORT(&node, 1), 0);
    ASSERT_EQ(node.lastIndex(), 2);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(node.files[i].size, i + 1);
        EXPECT_EQ(node.files[i].time, "00:00:0" + std::to_string(i + 1));
        EXPECT_EQ(node.files[i].name, "2024010" + std::to_string(i + 1) + "000000.mp4");
    }
}

TEST(StorageOrdering, EqualKeysComeOutReversed) {
    NetsdkDirNode node;
    node.files = {entry("20240101000000_a"), entry("20240101000000_b")};
    ASSERT_EQ(NETSDK_LINK_FILE_SORT(&node, 1), 0);
    EXPECT_EQ(names(node), (std::vector<std::string>{"20240101000000_b", "20240101000000_a"}));

    // Empty places and names without digits have all-zero keys: first, and
    // among themselves latest first.
    node.files = {entry("20240105000000_x"), entry(""), entry("zz"), entry("20230101000000"),
                  entry("20240105000000_y"), entry("20240105000000_z")};
    ASSERT_EQ(NETSDK_LINK_FILE_SORT(&node, 1), 0);
    EXPECT_EQ(names(node), (std::vector<std::string>{"zz", "", "20230101000000", "20240105000000_z",
                                                     "20240105000000_y", "20240105000000_x"}));
}

TEST(StorageOrdering, OtherModesAndEmptyNodes) {
    NetsdkDirNode node;
    node.files = {entry("20240102000000"), entry("20240101000000")};
    EXPECT_EQ(NETSDK_LINK_FILE_SORT(&node, 0), 0);
    EXPECT_EQ(node.files[0].name, "20240102000000");
    EXPECT_EQ(NETSDK_LINK_FILE_SORT(&node, 2), -1);
    EXPECT_EQ(NETSDK_LINK_FILE_SORT(&node, -1), -1);
    EXPECT_EQ(node.files[0].name, "20240102000000");

    NetsdkDirNode empty;
    EXPECT_EQ(NETSDK_LINK_FILE_SORT(&empty, 1), 0);
    EXPECT_EQ(empty.lastIndex(), -1);
}

TEST(StorageOrdering, ManySortedNamesSortQuickly) {
    // Recordings arrive already in time order; that must not cost n^2.
    NetsdkDirNode node;
    for (int i = 0; i < 4096; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "20240101%02d%02d%02d.mp4", i / 3600, (i / 60) % 60, i % 60);
        node.files.push_back(entry(name, i));
    }
    NetsdkDirNode reversed;
    reversed.files.assign(node.files.rbegin(), node.files.rend());

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(NETSDK_LINK_FILE_SORT(&node, 1), 0);
    ASSERT_EQ(NETSDK_LINK_FILE_SORT(&reversed, 1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_EQ(node.files.size(), 4096U);
    ASSERT_EQ(reversed.files.size(), 4096U);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(node.files[i].size, i);
        ASSERT_EQ(reversed.files[i].size, i);
    }
}
