#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "accounts/sessions.h"

class Sessions : public ::testing::Test {
protected:
    long now = 1000;
    void SetUp() override { reset_sessions(); set_session_clock([this] { return now; }); }
    void TearDown() override { set_session_clock(nullptr); reset_sessions(); }
    std::string login(int timeout = 1800) {
        const char* id = nullptr;
        EXPECT_EQ(0, add_new_session("admin", timeout, &id));
        return id ? std::string(id) : std::string();
    }
};

// The id's shape is checked end to end.
TEST_F(Sessions, IdsAreDistinctAndEndAtLogout) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) seen.insert(login());
    EXPECT_EQ(seen.size(), 1000u);
    reset_sessions();
    const std::string a = login();
    EXPECT_EQ(0, delete_session_by_id(a.c_str()));
    EXPECT_EQ(-1, find_saved_session(a.c_str(), "get"));
    EXPECT_EQ(-1, find_saved_session("", "get"));  // a free slot's empty id never matches
    EXPECT_EQ(-1, delete_session_by_id(""));
}

TEST_F(Sessions, FullTablePurgesExpiredThenEvictsSlotZero) {
    std::vector<std::string> ids;
    for (int i = 0; i < kSessionSlots; ++i) ids.push_back(login(i == 37 ? 5 : 1800));
    now = 1006;  // only the session in slot 37 has run out
    EXPECT_EQ(37, find_saved_session(login().c_str(), "get"));
    const std::string d = login();  // no free slot left
    EXPECT_EQ(0, find_saved_session(d.c_str(), "get"));
    EXPECT_EQ(-1, find_saved_session(ids[0].c_str(), "get"));
    EXPECT_EQ(1, find_saved_session(ids[1].c_str(), "get"));
}
