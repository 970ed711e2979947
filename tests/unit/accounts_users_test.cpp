#include <gtest/gtest.h>

#include <vector>

#include "accounts/users.h"
#include "storage_testdir.h"

using Users = std::vector<std::pair<std::string, std::string>>;

const std::string kAdminDigest = "2575faa39cb7936489acf0a1e25b121c";  // of "qorvu"

UserRecord record(const std::string& name, const std::string& password) {
    UserRecord r{};
    set_record_field(r.name, name);
    set_record_field(r.password, password);
    return r;
}

class UserStore : public ::testing::Test {
protected:
    TestDir t;
    const std::string file = t / "usermgnt_para";
    void SetUp() override { set_user_file_path(file.c_str()); }
    void TearDown() override { set_user_file_path(nullptr); }
    std::string bytes() const { return t.read("usermgnt_para"); }
    void writeUsers(const Users& users) const {
        UserRecord table[kUserCount] = {};
        for (std::size_t i = 0; i < users.size(); ++i) table[i] = record(users[i].first, users[i].second);
        t.file("usermgnt_para", std::string(reinterpret_cast<const char*>(table), sizeof table));
    }
    Users users() const {  // the stored records up to the last used one
        UserRecord table[kUserCount] = {};
        EXPECT_EQ(0, HTTP_Get_UsermgntConfig(table));
        Users out;
        for (const auto& r : table) out.emplace_back(record_field_text(r.name), record_field_text(r.password));
        while (!out.empty() && out.back() == Users::value_type{}) out.pop_back();
        return out;
    }
    int set(int op, const std::string& name, const std::string& password) {
        const UserRecord r = record(name, password);
        return HTTP_Set_UsermgntConfig(op, &r);
    }
};

TEST_F(UserStore, MissingOrWrongSizeFileGetsTheOneDefaultTable) {
    // HTTP_Check_Uservalid makes the same table: no second account with a published password.
    EXPECT_EQ(-1, HTTP_Check_Uservalid("guest", "tilks"));
    EXPECT_EQ(0, HTTP_Check_Uservalid("admin", "qorvu"));
    EXPECT_EQ(-1, HTTP_Check_Uservalid("admin", kAdminDigest.c_str()));
    EXPECT_EQ(bytes(), "admin" + std::string(59, '\0') + kAdminDigest + std::string(2048 - 96, '\0'));
    const std::string old(2049, 'A');
    t.file("usermgnt_para", old);
    EXPECT_EQ(users(), (Users{{"admin", kAdminDigest}}));
    EXPECT_EQ(t.read("usermgnt_para.bad"), old);  // kept for recovery by hand
    set_user_file_path("/dev/null/usermgnt_para");  // nothing can be written there
    UserRecord table[kUserCount];
    EXPECT_EQ(-1, HTTP_Get_UsermgntConfig(table));
}

TEST_F(UserStore, RefusalsAndNoOpsLeaveTheFile) {
    const Users two = {{"admin", "p0"}, {"a", "pa"}};
    Users full;
    for (int i = 0; i < kUserCount; ++i) full.emplace_back(i ? std::string("u").append(std::to_string(i)) : "admin", "pw");  // no false -Wrestrict (GCC 12 -O3)
    // (A name that exists and the admin record are refused end to end.)
    const struct { Users table; int op; const char *name, *password; int code; } rows[] = {
        {two, 0, "carol", "", -1},        // empty password
        {full, 0, "extra", "pw", -1},     // full table
        {{{"admin", "p0"}, {"d", "pd"}, {"d", "other"}}, 1, "d", "pd", -3},  // all or nothing
        {two, 2, "ghost", "x", -2},       // unknown user
        {{{"admin", "p0"}, {"e", ""}}, 2, "e", "new", -4},  // stored password empty
        {two, 2, "a", "", -1},            // empty new password would lock the user out
    };
    for (const auto& row : rows) {
        writeUsers(row.table);
        const std::string before = bytes();
        EXPECT_EQ(set(row.op, row.name, row.password), row.code) << row.op << " " << row.name;
        EXPECT_EQ(bytes(), before) << row.op << " " << row.name;
    }
}
