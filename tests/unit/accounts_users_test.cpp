#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "accounts/md5.h"
#include "accounts/users.h"

namespace fs = std::filesystem;

namespace {

std::string digestOf(const char* plain) {
    char out[64];
    digest_text_of(plain, out);
    return out;
}

class UserStore : public ::testing::Test {
protected:
    fs::path dir;
    std::string file;

    void SetUp() override {
        char tmpl[] = "/tmp/ws-users-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        file = (dir / "usermgnt_para").string();
        set_user_file_path(file.c_str());
    }
    void TearDown() override {
        set_user_file_path(nullptr);
        fs::remove_all(dir);
    }

    std::string bytesOf(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void writeBytes(const std::string& path, const std::string& bytes) const {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    // Writes a table whose records hold the given name/password pairs.
    void writeUsers(const std::vector<std::pair<std::string, std::string>>& users) const {
        UserRecord table[kUserCount] = {};
        for (std::size_t i = 0; i < users.size(); ++i) {
            std::strncpy(table[i].name, users[i].first.c_str(), 63);
            std::strncpy(table[i].password, users[i].second.c_str(), 63);
        }
        writeBytes(file, std::string(reinterpret_cast<const char*>(table), sizeof table));
    }
    std::vector<std::string> names() const {
        UserRecord table[kUserCount] = {};
        EXPECT_EQ(0, HTTP_Get_UsermgntConfig(table));
        std::vector<std::string> out;
        for (const auto& r : table) out.emplace_back(r.name, strnlen(r.name, 64));
        while (!out.empty() && out.back().empty()) out.pop_back();
        return out;
    }
    static UserRecord record(const char* name, const char* password) {
        UserRecord r{};
        std::strncpy(r.name, name, 63);
        std::strncpy(r.password, password, 63);
        return r;
    }
    int set(int op, const char* name, const char* password) {
        const UserRecord r = record(name, password);
        return HTTP_Set_UsermgntConfig(op, &r);
    }
};

TEST_F(UserStore, MissingFileGetsDefaultTable) {
    UserRecord table[kUserCount];
    std::memset(table, 0x5a, sizeof table);
    ASSERT_EQ(0, HTTP_Get_UsermgntConfig(table));
    EXPECT_STREQ(table[0].name, "admin");
    EXPECT_EQ(std::string(table[0].password), digestOf("qorvu"));

    const std::string disk = bytesOf(file);
    ASSERT_EQ(disk.size(), 2048u);
    EXPECT_EQ(0, std::memcmp(disk.data(), table, 2048));
    // Only the two texts of record 0 are non-zero.
    for (std::size_t i = 0; i < disk.size(); ++i) {
        const bool inName = i < 5;
        const bool inPass = i >= 64 && i < 96;
        if (!inName && !inPass) {
            ASSERT_EQ(disk[i], '\0') << i;
        }
    }
    EXPECT_FALSE(fs::exists(file + ".bad"));
    EXPECT_EQ(-1, HTTP_Get_UsermgntConfig(nullptr));
}

TEST_F(UserStore, WrongSizeFileIsKeptAsBadAndReplaced) {
    for (std::size_t size : {2047u, 2049u}) {
        const std::string old(size, static_cast<char>('A' + size % 3));
        writeBytes(file, old);
        testing::internal::CaptureStderr();
        EXPECT_EQ(std::vector<std::string>{"admin"}, names());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("DEVSDK_Get_CfgFile: USERMGNT_PARA_FILE failed!\n"), std::string::npos);
        EXPECT_NE(err.find(file + ".bad"), std::string::npos) << err;
        EXPECT_EQ(bytesOf(file + ".bad"), old);  // the newest bad file replaces an older one
        EXPECT_EQ(bytesOf(file).size(), 2048u);
    }
}

TEST_F(UserStore, DefaultNotWritableGivesMinusOne) {
    set_user_file_path((dir / "no-such-dir" / "usermgnt_para").c_str());
    UserRecord table[kUserCount];
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, HTTP_Get_UsermgntConfig(table));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("DEVSDK_Set_CfgFile: USERMGNT_PARA_FILE failed!\n"), std::string::npos);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, set(0, "bob", "x"));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("DEVSDK_Get_UsermgntConfig failed\n"),
              std::string::npos);
}

TEST_F(UserStore, AddPutsUserInFirstFreeRecordAndRefusesDuplicates) {
    const std::string bob = digestOf("bobpw");
    EXPECT_EQ(0, set(0, "bob", bob.c_str()));
    EXPECT_EQ((std::vector<std::string>{"admin", "bob"}), names());
    const std::string before = bytesOf(file);

    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, set(0, "bob", "other"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("user is  already existence \n"),
              std::string::npos);
    EXPECT_EQ(bytesOf(file), before);
    EXPECT_EQ(-1, HTTP_Set_UsermgntConfig(0, nullptr));
}

TEST_F(UserStore, AddWithEmptyPasswordIsRefused) {
    names();
    const std::string before = bytesOf(file);
    EXPECT_EQ(-1, set(0, "carol", ""));
    EXPECT_EQ(bytesOf(file), before);
}

TEST_F(UserStore, AddToFullTableIsRefused) {
    std::vector<std::pair<std::string, std::string>> users;
    for (int i = 0; i < kUserCount; ++i) users.emplace_back(i ? "u" + std::to_string(i) : "admin", "pw");
    writeUsers(users);
    const std::string before = bytesOf(file);
    EXPECT_EQ(-1, set(0, "extra", "pw"));
    EXPECT_EQ(bytesOf(file), before);
}

TEST_F(UserStore, DeleteKeepsTablePacked) {
    writeUsers({{"admin", "p0"}, {"a", "pa"}, {"b", "pb"}, {"c", "pc"}});
    EXPECT_EQ(0, set(1, "b", "pb"));
    UserRecord table[kUserCount];
    ASSERT_EQ(0, HTTP_Get_UsermgntConfig(table));
    EXPECT_STREQ(table[0].name, "admin");
    EXPECT_STREQ(table[1].name, "a");
    EXPECT_STREQ(table[2].name, "c");
    EXPECT_STREQ(table[2].password, "pc");
    const UserRecord zero{};
    for (int i = 3; i < kUserCount; ++i) EXPECT_EQ(0, std::memcmp(&table[i], &zero, sizeof zero)) << i;
}

TEST_F(UserStore, DeleteFailures) {
    writeUsers({{"admin", "p0"}, {"a", "pa"}});
    const std::string before = bytesOf(file);

    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, set(1, "admin", "p0"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("username:admin can't delete \n"),
              std::string::npos);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-3, set(1, "a", "wrong"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("user password mistake please check\n"),
              std::string::npos);
    EXPECT_EQ(bytesOf(file), before);

    EXPECT_EQ(0, set(1, "nobody", "x"));  // nothing to delete: written back unchanged
    EXPECT_EQ(bytesOf(file), before);
}

TEST_F(UserStore, DeleteRemovesDuplicatesOrRefusesWhole) {
    writeUsers({{"admin", "p0"}, {"d", "pd"}, {"x", "px"}, {"d", "pd"}, {"y", "py"}});
    EXPECT_EQ(0, set(1, "d", "pd"));
    EXPECT_EQ((std::vector<std::string>{"admin", "x", "y"}), names());

    writeUsers({{"admin", "p0"}, {"d", "pd"}, {"x", "px"}, {"d", "other"}});
    const std::string before = bytesOf(file);
    EXPECT_EQ(-3, set(1, "d", "pd"));
    EXPECT_EQ(bytesOf(file), before);
}

TEST_F(UserStore, ChangePassword) {
    writeUsers({{"admin", "p0"}, {"a", "pa"}, {"e", ""}});
    const std::string before = bytesOf(file);

    testing::internal::CaptureStderr();
    EXPECT_EQ(-2, set(2, "ghost", "x"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("user is  not existence \n"), std::string::npos);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-4, set(2, "e", "new"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("user password is empty\n"), std::string::npos);
    EXPECT_EQ(-1, set(2, "a", ""));  // an empty new password would lock the user out
    EXPECT_EQ(bytesOf(file), before);

    EXPECT_EQ(0, set(2, "a", "n"));
    UserRecord table[kUserCount];
    ASSERT_EQ(0, HTTP_Get_UsermgntConfig(table));
    EXPECT_STREQ(table[1].password, "n");
    EXPECT_EQ(0, std::memcmp(table[1].password, "n\0\0\0\0\0\0\0\0\0", 10));  // old text cleared
}

TEST_F(UserStore, UnknownOperationRewritesUnchanged) {
    writeUsers({{"admin", "p0"}, {"a", "pa"}});
    const std::string before = bytesOf(file);
    EXPECT_EQ(0, set(7, "a", "zz"));
    EXPECT_EQ(bytesOf(file), before);
}

TEST_F(UserStore, CheckUservalid) {
    // First use creates admin and guest.
    EXPECT_EQ(0, HTTP_Check_Uservalid("admin", "qorvu"));
    EXPECT_EQ(0, HTTP_Check_Uservalid("guest", "tilks"));
    EXPECT_EQ(-1, HTTP_Check_Uservalid("admin", digestOf("qorvu").c_str()));
    EXPECT_EQ(-1, HTTP_Check_Uservalid("admin", "tilks"));
    EXPECT_EQ(-1, HTTP_Check_Uservalid("Admin", "qorvu"));
    EXPECT_EQ(-1, HTTP_Check_Uservalid(nullptr, "qorvu"));
    EXPECT_EQ(-1, HTTP_Check_Uservalid("admin", nullptr));
    EXPECT_EQ((std::vector<std::string>{"admin", "guest"}), names());
}

TEST_F(UserStore, FieldsWithoutTerminatorsReadSafely) {
    writeBytes(file, std::string(2048, 'z'));
    UserRecord table[kUserCount];
    ASSERT_EQ(0, HTTP_Get_UsermgntConfig(table));
    EXPECT_EQ(-1, HTTP_Check_Uservalid(std::string(64, 'z').c_str(), "x"));
    EXPECT_EQ(-1, set(0, std::string(63, 'z').c_str(), "x"));  // no room
}

}  // namespace
