// The login readers: what a login body and a verification reply must hold,
// and the request text the password check sends.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "accounts/users.h"
#include "actions/login.h"

TEST(LoginReaders, LoginBody) {
    const std::string n63(63, 'n'), n64(64, 'n');
    const struct { std::string body; int rc, timeout; std::string user; } rows[] = {
        {R"({"username":"admin","password":"qorvu","timeout":600})", 0, 600, "admin"},
        {R"({"username":"a","password":"b","timeout":0})", 0, 1800, "a"},
        {R"({"username":"a","password":"b","timeout":true})", 0, 1, "a"},
        {"{\"username\":\"" + n63 + "\",\"password\":\"" + n63 + "\",\"timeout\":1}", 0, 1, n63},
        // Long fields are refused, not cut; nothing is stored before all keys pass.
        {"{\"username\":\"" + n64 + "\",\"password\":\"p\",\"timeout\":1}", -2, 77, ""},
        {"{\"username\":\"u\",\"password\":\"" + n64 + "\",\"timeout\":1}", -2, 77, ""},
        {R"({"username":"a","password":"b","timeout":"600"})", -2, 77, ""},
        {R"({"username":5,"password":null,"timeout":1})", -2, 77, ""},
        {R"({"UserName":"a","password":"b","timeout":1})", -2, 77, ""},
        {"{not json", -15, 77, ""},
    };
    for (const auto& row : rows) {
        LoginCredentials cred;
        std::memset(&cred, 'q', sizeof cred);
        int timeout = 77;
        EXPECT_EQ(getLoginParamFromJSON(row.body.c_str(), &cred, &timeout), row.rc) << row.body;
        EXPECT_EQ(timeout, row.timeout) << row.body;
        if (row.rc == 0) EXPECT_EQ(std::string(cred.username), row.user) << row.body;
        else EXPECT_EQ(cred.username[0], 'q') << row.body;
    }
}

TEST(LoginReaders, VerificationReplyAndRequest) {
    const std::string ok = R"({"Result":"OK","Parameters":{"PassValidation":)";
    const struct { std::string body; int rc, flag; } rows[] = {
        {ok + "1}}", 0, 1}, {ok + "0}}", 0, 0}, {ok + "true}}", 0, 1}, {ok + "\"1\"}}", -2, -7},
        {ok + "false}}", -2, -7}, {R"({"Result":"Fail","Parameters":{"PassValidation":1}})", -2, -7},
        {R"({"Result":"ok","Parameters":{}})", -2, -7}, {R"({"Result":"OK","Parameters":[1]})", -2, -7},
        {"", -15, -7},
    };
    for (const auto& row : rows) {
        int flag = -7;
        EXPECT_EQ(getLoginParamFromJSON_msg(row.body.c_str(), &flag), row.rc) << row.body;
        EXPECT_EQ(flag, row.flag) << row.body;  // left alone on a refusal
    }
    LoginCredentials cred{};
    std::strcpy(cred.username, "admin");
    std::strcpy(cred.password, "qo\"rvu");
    JsonReply out;
    ASSERT_EQ(0, formatLoginMsgParamJSON(out, &cred));
    EXPECT_EQ(*out, "{\n\t\"UserName\":\t\"admin\",\n\t\"Password\":\t\"qo\\\"rvu\",\n\t\"MD5Password\":\t1\n}");
}
