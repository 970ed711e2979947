#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "accounts/md5.h"
#include "accounts/users.h"
#include "actions/login.h"

namespace {

template <typename F>
std::string stderrOf(F&& fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

TEST(LoginReaders, LoginBody) {
    const std::string n63(63, 'n'), n64(64, 'n');
    const struct { std::string body; int rc, timeout; std::string user, err; } rows[] = {
        {R"({"username":"admin","password":"qorvu","timeout":600})", 0, 600, "admin", ""},
        {R"({"username":"a","password":"b","timeout":0})", 0, 1800, "a", ""},
        {R"({"username":"a","password":"b","timeout":true})", 0, 1, "a", ""},
        {"{\"username\":\"" + n63 + "\",\"password\":\"" + n63 + "\",\"timeout\":1}", 0, 1, n63, ""},
        // Long fields are refused, not cut; nothing is stored before all keys pass.
        {"{\"username\":\"" + n64 + "\",\"password\":\"p\",\"timeout\":1}", -2, 77, "", ""},
        {"{\"username\":\"u\",\"password\":\"" + n64 + "\",\"timeout\":1}", -2, 77, "", ""},
        {R"({"username":"a","password":"b","timeout":"600"})", -2, 77, "", "timeout is empty or error value type : 16\n"},
        {R"({"username":"a","timeout":1})", -2, 77, "", "password is empty or error value type : -1\n"},
        {R"({"username":5,"password":null,"timeout":1})", -2, 77, "", "username is empty or error value type : 8\n"},
        {R"({"UserName":"a","password":"b","timeout":1})", -2, 77, "", ""},
        {"{not json", -15, 77, "", "json pack into cjson error...\n"},
    };
    for (const auto& row : rows) {
        LoginCredentials cred;
        std::memset(&cred, 'q', sizeof cred);
        int timeout = 77;
        const std::string err =
            stderrOf([&] { EXPECT_EQ(getLoginParamFromJSON(row.body.c_str(), &cred, &timeout), row.rc) << row.body; });
        EXPECT_NE(err.find(row.err), std::string::npos) << row.body << err;
        EXPECT_EQ(timeout, row.timeout) << row.body;
        if (row.rc == 0) EXPECT_EQ(std::string(cred.username), row.user) << row.body;
        else EXPECT_EQ(cred.username[0], 'q') << row.body;
    }
}

TEST(LoginReaders, VerificationReply) {
    const std::string ok = R"({"Result":"OK","Parameters":{"PassValidation":)";
    const struct { std::string body; int rc, flag; const char* err; } rows[] = {
        {ok + "1}}", 0, 1, ""},
        {ok + "0}}", 0, 0, ""},
        {ok + "true}}", 0, 1, ""},
        {ok + "\"1\"}}", -2, -7, "PassValidation is empty or error value type : 16\n"},
        {ok + "false}}", -2, -7, "PassValidation is empty or error value type : 1\n"},
        {R"({"Result":"Fail","Parameters":{"PassValidation":1}})", -2, -7, " Result is empty or error value type \n"},
        {R"({"Result":"ok","Parameters":{}})", -2, -7, " Result is empty or error value type \n"},
        {R"({"Result":1})", -2, -7, "Result is empty or error value type : 8\n"},
        {R"({"Result":"OK"})", -2, -7, " object is empty or error value type \n"},
        {R"({"Result":"OK","Parameters":[1]})", -2, -7, " object is empty or error value type \n"},
        {"", -15, -7, ""},
    };
    for (const auto& row : rows) {
        int flag = -7;
        const std::string err =
            stderrOf([&] { EXPECT_EQ(getLoginParamFromJSON_msg(row.body.c_str(), &flag), row.rc) << row.body; });
        EXPECT_NE(err.find(row.err), std::string::npos) << row.body << err;
        EXPECT_EQ(flag, row.flag) << row.body;  // left alone on a refusal
    }
}

TEST(LoginReaders, VerifyRequestText) {
    LoginCredentials cred{};
    std::strcpy(cred.username, "admin");
    std::strcpy(cred.password, "qo\"rvu");
    JsonReply out;
    ASSERT_EQ(0, formatLoginMsgParamJSON(out, &cred));
    EXPECT_EQ(*out, "{\n\t\"UserName\":\t\"admin\",\n\t\"Password\":\t\"qo\\\"rvu\",\n\t\"MD5Password\":\t1\n}");
}

TEST(LoginCredentialCheck, UnreadableStoreIsNoMatch) {
    set_user_file_path("/dev/null/usermgnt_para");  // nothing can be read or written there
    char digest[64];
    digest_text_of("qorvu", digest);
    const std::string err = stderrOf([&] { EXPECT_EQ(0, check_user_pass_valid("admin", digest)); });
    EXPECT_NE(err.find("get User params fail!  return : -1\n"), std::string::npos) << err;
    set_user_file_path(nullptr);
}

}  // namespace
