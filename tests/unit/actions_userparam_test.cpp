#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "accounts/users.h"
#include "actions/language.h"
#include "actions/userparam.h"

TEST(UserParams, ReaderCutsLongTextsAndListingsStayInTheirFields) {
    UserRecord r{};
    int op = -9;
    const std::string n70(70, 'n');
    ASSERT_EQ(0, getUserParamsFromJSON(("{\"operation\":true,\"user_name\":\"" + n70 + "\",\"password\":\"" + n70 +
                                        "\"}").c_str(), &r, &op));
    EXPECT_EQ(op, 1);
    EXPECT_EQ(std::string(r.name), std::string(63, 'n'));
    EXPECT_EQ(std::string(r.password), std::string(63, 'n'));

    UserRecord table[kUserCount] = {};
    std::strcpy(table[0].name, "admin");
    std::strcpy(table[0].password, "d0");
    std::strcpy(table[2].name, "hidden");
    JsonReply out;
    ASSERT_EQ(0, formatUserParamJSON(out, table));
    EXPECT_EQ(*out, "[{\n\t\t\"user_name\":\t\"admin\",\n\t\t\"password\":\t\"d0\"\n\t}]");

    std::memset(table, 'z', sizeof table);  // damaged records: no terminator anywhere
    ASSERT_EQ(0, formatUserParamJSON(out, table));
    EXPECT_NE(out->find("\"" + std::string(64, 'z') + "\""), std::string::npos);
    LanguageRecord language;
    std::memset(&language, 'x', sizeof language);
    ASSERT_EQ(0, formatLanguageParamJSON(out, &language));
    EXPECT_NE(out->find("\"" + std::string(128, 'x') + "\""), std::string::npos) << *out;
}

TEST(UserParams, UnreadableStoreFailsBothCommands) {
    set_user_file_path("/dev/null/usermgnt_para");  // nothing can be read or written there
    const std::string fail = "{\n\t\"Result\":\t\"Fail\",\n\t\"Reason\":\t\"";
    JsonReply out;
    EXPECT_EQ(-1, actionGetUserParam(nullptr, out));
    EXPECT_EQ(*out, fail + "get User params fail\"\n}");
    EXPECT_EQ(-1, actionSetUserParam(R"({"operation":0,"user_name":"bob","password":"pb"})", out));
    EXPECT_EQ(*out, fail + "set User params fail\"\n}");
    set_user_file_path(nullptr);
}
