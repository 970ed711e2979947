#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "accounts/users.h"
#include "actions/userparam.h"

namespace fs = std::filesystem;

namespace {

template <typename F>
std::string stderrOf(F&& fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

const std::string kFail = "{\n\t\"Result\":\t\"Fail\",\n\t\"Reason\":\t\"";

TEST(UserParamBody, Reads) {
    UserRecord r{};
    int op = -9;
    ASSERT_EQ(0, getUserParamsFromJSON(R"({"operation":2,"user_name":"bob","password":"pw"})", &r, &op));
    EXPECT_EQ(op, 2);
    EXPECT_STREQ(r.name, "bob");
    EXPECT_STREQ(r.password, "pw");
    ASSERT_EQ(0, getUserParamsFromJSON(R"({"operation":true,"user_name":"b","password":"p"})", &r, &op));
    EXPECT_EQ(op, 1);

    UserRecord longer{};
    const std::string n70(70, 'n');
    ASSERT_EQ(0, getUserParamsFromJSON(("{\"operation\":0,\"user_name\":\"" + n70 + "\",\"password\":\"" + n70 + "\"}").c_str(),
                                       &longer, &op));
    EXPECT_EQ(std::string(longer.name), std::string(63, 'n'));
    EXPECT_EQ(std::string(longer.password), std::string(63, 'n'));
}

TEST(UserParamBody, Refusals) {
    UserRecord r{};
    int op = 0;
    std::string err = stderrOf([&] {
        EXPECT_EQ(-2, getUserParamsFromJSON(R"({"operation":"0","user_name":"b","password":"p"})", &r, &op));
    });
    EXPECT_NE(err.find("operation is empty or error value type : 16\n"), std::string::npos) << err;
    err = stderrOf([&] { EXPECT_EQ(-2, getUserParamsFromJSON(R"({"operation":0,"user_name":"b"})", &r, &op)); });
    EXPECT_NE(err.find("password is empty or error value type : -1\n"), std::string::npos);
    err = stderrOf([&] {
        EXPECT_EQ(-2, getUserParamsFromJSON(R"({"operation":0,"user_name":"","password":"p"})", &r, &op));
    });
    EXPECT_NE(err.find("user_name is empty or error value type : 16\n"), std::string::npos);
    EXPECT_EQ(-2, getUserParamsFromJSON(R"({"operation":0,"user_name":"b","password":""})", &r, &op));
    EXPECT_EQ(-15, getUserParamsFromJSON("{", &r, &op));
    err = stderrOf([&] { EXPECT_EQ(-2, getUserParamsFromJSON(nullptr, &r, &op)); });
    EXPECT_NE(err.find("Invalid params!\n"), std::string::npos);
}

TEST(UserParamList, StopsAtFirstEmptyName) {
    UserRecord table[kUserCount] = {};
    std::strcpy(table[0].name, "admin");
    std::strcpy(table[0].password, "d0");
    std::strcpy(table[1].name, "bob");
    std::strcpy(table[1].password, "d1");
    std::strcpy(table[3].name, "hidden");
    JsonReply out;
    ASSERT_EQ(0, formatUserParamJSON(out, table));
    EXPECT_EQ(*out,
              "[{\n\t\t\"user_name\":\t\"admin\",\n\t\t\"password\":\t\"d0\"\n\t}, {\n\t\t\"user_name\":\t\"bob\","
              "\n\t\t\"password\":\t\"d1\"\n\t}]");
    UserRecord empty[kUserCount] = {};
    ASSERT_EQ(0, formatUserParamJSON(out, empty));
    EXPECT_EQ(*out, "[]");
    EXPECT_EQ(-2, formatUserParamJSON(out, nullptr));

    UserRecord full[kUserCount];
    std::memset(full, 'z', sizeof full);  // no terminators anywhere
    ASSERT_EQ(0, formatUserParamJSON(out, full));
    EXPECT_NE(out->find(std::string(64, 'z') + "\""), std::string::npos);
}

class UserParamActions : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        char tmpl[] = "/tmp/ws-userparam-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        set_user_file_path((dir / "usermgnt_para").c_str());
    }
    void TearDown() override {
        set_user_file_path(nullptr);
        fs::remove_all(dir);
    }
    int change(const char* body, JsonReply& out) { return actionSetUserParam(body, out); }
};

TEST_F(UserParamActions, UnreadableStoreFailsListing) {
    set_user_file_path((dir / "missing" / "usermgnt_para").c_str());
    JsonReply out;
    EXPECT_EQ(-1, actionGetUserParam(nullptr, out));
    EXPECT_EQ(*out, kFail + "get User params fail\"\n}");
    EXPECT_EQ(-1, change(R"({"operation":0,"user_name":"bob","password":"pb"})", out));
    EXPECT_EQ(*out, kFail + "set User params fail\"\n}");
}

}  // namespace
