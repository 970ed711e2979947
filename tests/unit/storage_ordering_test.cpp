#include "storage/ordering.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using namespace storage;

TEST(StorageOrdering, Comparisons) {
    const std::tuple<const char*, const char*, int> files[] = {
        {"20240101120001.mp4", "20240101120000.mp4", 1},
        {"20240101120000.mp4", "20240101120000.mp4", -1},      // equal
        {"20250101000000_a.mp4", "20241231235959_z.mp4", 1},  // the year beats every later field
        {"20240101000000_b", "20240101000000_a", -1},          // only the first 14 characters count
        {nullptr, "x", -1},
    };
    for (const auto& [a, b, r] : files) EXPECT_EQ(NETSDK_LINK_FILE_THAN(a, b), r) << (a ? a : "null");
    const std::tuple<const char*, const char*, int> dirs[] = {
        {"2024-03-01", "2024-02-28", 1}, {"2024-01-31", "2025-01-01", -1}, {"2024_03_01", "2024-03-01", -1},
    };
    for (const auto& [a, b, r] : dirs) EXPECT_EQ(NETSDK_LINK_DIR_THAN(a, b), r) << a;
    // Fields read like strtol: a blank and a sign accepted, reading stops at a non-digit.
    const std::pair<const char*, int> sums[] = {
        {"20240102030405.mp4", 2024 + 1 + 2 + 3 + 4 + 5}, {" -1201", -12 + 1}, {"1a3", 1}, {nullptr, -1},
    };
    for (const auto& [name, sum] : sums) EXPECT_EQ(NETSDK_LINK_FILE_NUM(name), sum) << (name ? name : "null");
}

TEST(StorageOrdering, EqualKeysComeOutReversed) {
    // Empty places and names without digits have all-zero keys: first, and among themselves latest first.
    NetsdkDirNode node;
    for (const char* name : {"20240105000000_x", "", "zz", "20230101000000", "20240105000000_y", "20240105000000_z"})
        node.files.emplace_back().name = name;
    ASSERT_EQ(NETSDK_LINK_FILE_SORT(&node, 1), 0);
    std::vector<std::string> names;
    for (const auto& e : node.files) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"zz", "", "20230101000000", "20240105000000_z", "20240105000000_y",
                                               "20240105000000_x"}));
    EXPECT_EQ(NETSDK_LINK_FILE_SORT(&node, 2), -1);  // modes other than 0 and 1 are refused
}
