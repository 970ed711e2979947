#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "accounts/sessions.h"

namespace {

class Sessions : public ::testing::Test {
protected:
    long now = 1000;
    void SetUp() override {
        reset_sessions();
        set_session_clock([this] { return now; });
    }
    void TearDown() override {
        set_session_clock(nullptr);
        reset_sessions();
    }
    std::string login(const char* user = "admin", int timeout = 1800) {
        const char* id = nullptr;
        EXPECT_EQ(0, add_new_session(user, timeout, &id));
        return id ? std::string(id) : std::string();
    }
};

bool wellFormed(const std::string& id) {
    if (id.size() != 36) return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash) {
            if (id[i] != '-') return false;
        } else if (!std::isxdigit(static_cast<unsigned char>(id[i])) ||
                   std::isupper(static_cast<unsigned char>(id[i]))) {
            return false;
        }
    }
    return true;
}

TEST_F(Sessions, RefusesBadArguments) {
    const char* id = nullptr;
    EXPECT_EQ(-1, add_new_session(nullptr, 10, &id));
    EXPECT_EQ(-1, add_new_session("admin", 10, nullptr));
    EXPECT_EQ(-1, add_new_session("admin", 0, &id));
    EXPECT_EQ(-1, add_new_session("admin", -3, &id));
    EXPECT_EQ(nullptr, id);
}

TEST_F(Sessions, IdsAreWellFormedAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = login();
        ASSERT_TRUE(wellFormed(id)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST_F(Sessions, FindAndLogout) {
    const std::string a = login();
    const std::string b = login("bob");
    EXPECT_EQ(0, find_saved_session(a.c_str(), "get"));
    EXPECT_EQ(1, find_saved_session(b.c_str(), "set"));
    EXPECT_EQ(-1, find_saved_session("00000000-0000-0000-0000-000000000000", "get"));
    EXPECT_EQ(-1, find_saved_session(nullptr, "get"));

    EXPECT_EQ(0, delete_session_by_id(a.c_str()));
    EXPECT_EQ(-1, find_saved_session(a.c_str(), "get"));
    EXPECT_EQ(-1, delete_session_by_id(a.c_str()));  // logout twice
    EXPECT_EQ(-1, delete_session_by_id(nullptr));
    EXPECT_EQ(1, find_saved_session(b.c_str(), "get"));
}

TEST_F(Sessions, EmptyIdNeverMatches) {
    login();
    const std::string b = login();
    EXPECT_EQ(-1, find_saved_session("", "set"));
    EXPECT_EQ(-1, delete_session_by_id(""));
    delete_session_by_id(b.c_str());  // slot 1 is now free with an empty id
    EXPECT_EQ(-1, find_saved_session("", "get"));
    EXPECT_EQ(-1, delete_session_by_id(""));
}

TEST_F(Sessions, ExpiryBoundaryAndRefresh) {
    const std::string a = login("admin", 1800);  // at 1000
    const std::string b = login("admin", 1800);

    now = 2000;
    EXPECT_EQ(0, find_saved_session(a.c_str(), "get"));  // limit stays 2800
    EXPECT_EQ(1, find_saved_session(b.c_str(), "set"));  // limit moves to 3800

    now = 2800;
    EXPECT_EQ(0, find_saved_session(a.c_str(), "get"));  // live at exactly the limit
    now = 2801;
    EXPECT_EQ(-1, find_saved_session(a.c_str(), "get"));
    now = 1000;  // even with the clock back, the expired id was cleared
    EXPECT_EQ(-1, find_saved_session(a.c_str(), "get"));

    now = 3800;
    EXPECT_EQ(1, find_saved_session(b.c_str(), "other"));
    now = 3801;
    EXPECT_EQ(-1, find_saved_session(b.c_str(), "get"));
}

TEST_F(Sessions, ExpiredButUnpurgedSessionCanLogOut) {
    const std::string a = login("admin", 10);
    now = 5000;
    EXPECT_EQ(0, delete_session_by_id(a.c_str()));
}

TEST_F(Sessions, FullTableEvictsSlotZero) {
    std::vector<std::string> ids;
    for (int i = 0; i < kSessionSlots; ++i) ids.push_back(login());
    const std::string extra = login();
    EXPECT_EQ(0, find_saved_session(extra.c_str(), "get"));
    EXPECT_EQ(-1, find_saved_session(ids[0].c_str(), "get"));
    for (int i = 1; i < kSessionSlots; ++i)
        EXPECT_EQ(i, find_saved_session(ids[i].c_str(), "get")) << i;
}

TEST_F(Sessions, PurgeFreesExpiredSlotBeforeEvicting) {
    std::vector<std::string> ids;
    for (int i = 0; i < kSessionSlots; ++i) ids.push_back(login("u", i == 37 ? 5 : 1800));
    now = 1006;  // only the session in slot 37 has run out
    const std::string extra = login();
    EXPECT_EQ(37, find_saved_session(extra.c_str(), "get"));
    EXPECT_EQ(0, find_saved_session(ids[0].c_str(), "get"));
    EXPECT_EQ(-1, find_saved_session(ids[37].c_str(), "get"));
}

TEST_F(Sessions, LogoutFreesSlotForReuse) {
    login();
    const std::string b = login();
    login();
    delete_session_by_id(b.c_str());
    const std::string d = login();
    EXPECT_EQ(1, find_saved_session(d.c_str(), "get"));
}

TEST_F(Sessions, LongUserNameIsAccepted) {
    // The name is kept cut to 31 characters; nothing reads it back, so only
    // check that a long name neither fails nor disturbs the id.
    const std::string id = login(std::string(40, 'n').c_str());
    EXPECT_TRUE(wellFormed(id));
    EXPECT_EQ(0, find_saved_session(id.c_str(), "get"));
}

TEST(SessionsRealClock, FreshSessionIsLive) {
    reset_sessions();
    const char* id = nullptr;
    ASSERT_EQ(0, add_new_session("admin", 1, &id));
    EXPECT_EQ(0, find_saved_session(id, "set"));
    reset_sessions();
}

}  // namespace
