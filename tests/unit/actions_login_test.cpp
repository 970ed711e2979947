#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>

#include "accounts/md5.h"
#include "accounts/sessions.h"
#include "accounts/users.h"
#include "actions/login.h"

namespace fs = std::filesystem;

namespace {

// Runs fn and returns what it printed on standard error.
template <typename F>
std::string stderrOf(F&& fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

TEST(LoginBody, TimeoutRules) {
    LoginCredentials cred;
    int timeout = -99;
    ASSERT_EQ(0, getLoginParamFromJSON(R"({"username":"admin","password":"qorvu","timeout":600})", &cred, &timeout));
    EXPECT_STREQ(cred.username, "admin");
    EXPECT_STREQ(cred.password, "qorvu");
    EXPECT_EQ(timeout, 600);

    ASSERT_EQ(0, getLoginParamFromJSON(R"({"username":"a","password":"b","timeout":0})", &cred, &timeout));
    EXPECT_EQ(timeout, 1800);
    ASSERT_EQ(0, getLoginParamFromJSON(R"({"username":"a","password":"b","timeout":-5})", &cred, &timeout));
    EXPECT_EQ(timeout, 1800);
    ASSERT_EQ(0, getLoginParamFromJSON(R"({"username":"a","password":"b","timeout":true})", &cred, &timeout));
    EXPECT_EQ(timeout, 1);
    ASSERT_EQ(0, getLoginParamFromJSON(R"({"username":"","password":"","timeout":1})", &cred, &timeout));
    EXPECT_STREQ(cred.username, "");
}

TEST(LoginBody, RefusalsNameKeyAndTypeCode) {
    LoginCredentials cred;
    std::memset(&cred, 'q', sizeof cred);
    int timeout = 77;
    std::string err = stderrOf([&] {
        EXPECT_EQ(-2, getLoginParamFromJSON(R"({"username":"a","password":"b","timeout":"600"})", &cred, &timeout));
    });
    EXPECT_TRUE(contains(err, "timeout is empty or error value type : 16\n")) << err;
    EXPECT_EQ(timeout, 77);
    EXPECT_EQ(cred.username[0], 'q');  // nothing stored before all keys passed

    err = stderrOf([&] { EXPECT_EQ(-2, getLoginParamFromJSON(R"({"username":"a","timeout":1})", &cred, &timeout)); });
    EXPECT_TRUE(contains(err, "password is empty or error value type : -1\n")) << err;

    err = stderrOf([&] {
        EXPECT_EQ(-2, getLoginParamFromJSON(R"({"username":5,"password":null,"timeout":1})", &cred, &timeout));
    });
    EXPECT_TRUE(contains(err, "username is empty or error value type : 8\n")) << err;

    err = stderrOf([&] { EXPECT_EQ(-15, getLoginParamFromJSON("{not json", &cred, &timeout)); });
    EXPECT_TRUE(contains(err, "json pack into cjson error...\n"));
    err = stderrOf([&] { EXPECT_EQ(-2, getLoginParamFromJSON(nullptr, &cred, &timeout)); });
    EXPECT_TRUE(contains(err, "Invalid params\n"));
    EXPECT_EQ(-2, getLoginParamFromJSON("{}", &cred, nullptr));
    // Keys match with their letter case.
    EXPECT_EQ(-2, getLoginParamFromJSON(R"({"UserName":"a","password":"b","timeout":1})", &cred, &timeout));
}

TEST(LoginBody, LongFieldsAreRefusedNotCut) {
    LoginCredentials cred;
    int timeout = 0;
    const std::string n63(63, 'n'), n64(64, 'n');
    EXPECT_EQ(0, getLoginParamFromJSON(("{\"username\":\"" + n63 + "\",\"password\":\"" + n63 + "\",\"timeout\":1}").c_str(),
                                       &cred, &timeout));
    EXPECT_EQ(std::string(cred.username), n63);
    EXPECT_EQ(std::string(cred.password), n63);
    EXPECT_EQ(-2, getLoginParamFromJSON(("{\"username\":\"" + n64 + "\",\"password\":\"p\",\"timeout\":1}").c_str(),
                                        &cred, &timeout));
    EXPECT_EQ(-2, getLoginParamFromJSON(("{\"username\":\"u\",\"password\":\"" + n64 + "\",\"timeout\":1}").c_str(),
                                        &cred, &timeout));
}

TEST(VerificationReply, Variants) {
    int flag = -7;
    EXPECT_EQ(0, getLoginParamFromJSON_msg(R"({"Result":"OK","Parameters":{"PassValidation":1}})", &flag));
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(0, getLoginParamFromJSON_msg(R"({"Result":"OK","Parameters":{"PassValidation":0}})", &flag));
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(0, getLoginParamFromJSON_msg(R"({"Result":"OK","Parameters":{"PassValidation":true}})", &flag));
    EXPECT_EQ(flag, 1);

    std::string err = stderrOf([&] {
        EXPECT_EQ(-2, getLoginParamFromJSON_msg(R"({"Result":"Fail","Parameters":{"PassValidation":1}})", &flag));
    });
    EXPECT_TRUE(contains(err, " Result is empty or error value type \n")) << err;
    err = stderrOf([&] { EXPECT_EQ(-2, getLoginParamFromJSON_msg(R"({"Result":"ok","Parameters":{}})", &flag)); });
    EXPECT_TRUE(contains(err, " Result is empty or error value type \n"));
    err = stderrOf([&] { EXPECT_EQ(-2, getLoginParamFromJSON_msg(R"({"Result":1})", &flag)); });
    EXPECT_TRUE(contains(err, "Result is empty or error value type : 8\n"));
    err = stderrOf([&] { EXPECT_EQ(-2, getLoginParamFromJSON_msg(R"({"Result":"OK"})", &flag)); });
    EXPECT_TRUE(contains(err, " object is empty or error value type \n"));
    err = stderrOf([&] { EXPECT_EQ(-2, getLoginParamFromJSON_msg(R"({"Result":"OK","Parameters":[1]})", &flag)); });
    EXPECT_TRUE(contains(err, " object is empty or error value type \n"));
    err = stderrOf([&] {
        EXPECT_EQ(-2, getLoginParamFromJSON_msg(R"({"Result":"OK","Parameters":{"PassValidation":"1"}})", &flag));
    });
    EXPECT_TRUE(contains(err, "PassValidation is empty or error value type : 16\n"));
    err = stderrOf([&] {
        EXPECT_EQ(-2, getLoginParamFromJSON_msg(R"({"Result":"OK","Parameters":{"PassValidation":false}})", &flag));
    });
    EXPECT_TRUE(contains(err, "PassValidation is empty or error value type : 1\n"));
    EXPECT_EQ(-15, getLoginParamFromJSON_msg("", &flag));
    EXPECT_EQ(-2, getLoginParamFromJSON_msg(nullptr, &flag));
}

TEST(SessionIdBody, CutToBuffer) {
    char buf[8];
    EXPECT_EQ(0, getSessionidParamFromJSON(R"({"sessionid":"0123456789"})", buf, sizeof buf));
    EXPECT_STREQ(buf, "0123456");
    EXPECT_EQ(0, getSessionidParamFromJSON(R"({"sessionid":""})", buf, sizeof buf));
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(-2, getSessionidParamFromJSON(R"({"sessionid":12})", buf, sizeof buf));
    EXPECT_EQ(-2, getSessionidParamFromJSON("{}", buf, sizeof buf));
    EXPECT_EQ(-15, getSessionidParamFromJSON("[", buf, sizeof buf));
    EXPECT_EQ(-2, getSessionidParamFromJSON(nullptr, buf, sizeof buf));
    EXPECT_EQ(-2, getSessionidParamFromJSON("{}", nullptr, 8));
}

TEST(VerifyRequest, Format) {
    LoginCredentials cred{};
    std::strcpy(cred.username, "admin");
    std::strcpy(cred.password, "qo\"rvu");
    JsonReply out;
    ASSERT_EQ(0, formatLoginMsgParamJSON(out, &cred));
    EXPECT_EQ(*out, "{\n\t\"UserName\":\t\"admin\",\n\t\"Password\":\t\"qo\\\"rvu\",\n\t\"MD5Password\":\t1\n}");
    JsonReply none;
    EXPECT_EQ(-2, formatLoginMsgParamJSON(none, nullptr));
    EXPECT_FALSE(none);
}

class LoginActions : public ::testing::Test {
protected:
    void SetUp() override { reset_sessions(); }
    void TearDown() override { reset_sessions(); }
};

TEST_F(LoginActions, LoginThenLogout) {
    LoginCredentials cred{};
    std::strcpy(cred.username, "admin");
    JsonReply out;
    ASSERT_EQ(0, actionLogin(cred, 1800, out));
    const std::string prefix = "{\n\t\"Result\":\t\"OK\",\n\t\"Reason\":\t\"user login successfully\",\n\t\"sessionid\":\t\"";
    ASSERT_EQ(out->rfind(prefix, 0), 0u) << *out;
    const std::string id = out->substr(prefix.size(), 36);
    EXPECT_EQ(out->substr(prefix.size() + 36), "\"\n}");
    EXPECT_EQ(0, find_saved_session(id.c_str(), "get"));

    JsonReply bye;
    EXPECT_EQ(0, actionLogOut(("{\"sessionid\":\"" + id + "\"}").c_str(), bye));
    EXPECT_EQ(*bye, "{\n\t\"Result\":\t\"OK\",\n\t\"Reason\":\t\"Successfully to set params\"\n}");
    JsonReply again;
    EXPECT_EQ(-1, actionLogOut(("{\"sessionid\":\"" + id + "\"}").c_str(), again));
    EXPECT_EQ(*again, "{\n\t\"Result\":\t\"Fail\",\n\t\"Reason\":\t\"Invalid session id\"\n}");
}

TEST_F(LoginActions, LogoutRefusals) {
    LoginCredentials cred{};
    std::strcpy(cred.username, "admin");
    JsonReply out;
    ASSERT_EQ(0, actionLogin(cred, 1800, out));
    const std::string id = out->substr(out->find("sessionid") + 13, 36);

    JsonReply r1;
    EXPECT_EQ(-1, actionLogOut("{}", r1));
    EXPECT_EQ(*r1, "{\n\t\"Result\":\t\"Fail\",\n\t\"Reason\":\t\"Invalid input params\"\n}");
    JsonReply r2;
    EXPECT_EQ(-1, actionLogOut(nullptr, r2));
    EXPECT_EQ(*r2, *r1);
    // An id longer than 127 characters is cut and so finds nothing.
    JsonReply r3;
    EXPECT_EQ(-1, actionLogOut(("{\"sessionid\":\"" + id + std::string(100, 'x') + "\"}").c_str(), r3));
    EXPECT_EQ(*r3, "{\n\t\"Result\":\t\"Fail\",\n\t\"Reason\":\t\"Invalid session id\"\n}");
    EXPECT_EQ(0, find_saved_session(id.c_str(), "get"));
    JsonReply r4;
    EXPECT_EQ(-1, actionLogOut(R"({"sessionid":""})", r4));
    EXPECT_EQ(*r4, *r3);
}

TEST_F(LoginActions, LoginRefusedWithTimeoutZero) {
    LoginCredentials cred{};
    JsonReply out;
    EXPECT_EQ(-16, actionLogin(cred, 0, out));
    EXPECT_EQ(*out, "{\n\t\"Result\":\t\"Fail\",\n\t\"Reason\":\t\"More than the maximum number of clients\"\n}");
}

class CredentialCheck : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        char tmpl[] = "/tmp/ws-login-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        set_user_file_path((dir / "usermgnt_para").c_str());
    }
    void TearDown() override {
        set_user_file_path(nullptr);
        fs::remove_all(dir);
    }
};

TEST_F(CredentialCheck, MatchesNameAndDigestExactly) {
    char digest[64];
    digest_text_of("qorvu", digest);
    EXPECT_EQ(1, check_user_pass_valid("admin", digest));  // default table made on first use
    EXPECT_TRUE(fs::exists(dir / "usermgnt_para"));

    std::string upper = digest;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string err = stderrOf([&] { EXPECT_EQ(0, check_user_pass_valid("admin", upper.c_str())); });
    EXPECT_TRUE(contains(err, "login < UserName and password is false>\n"));
    EXPECT_EQ(0, check_user_pass_valid("admin", "qorvu"));
    EXPECT_EQ(0, check_user_pass_valid("ADMIN", digest));
    err = stderrOf([&] { EXPECT_EQ(0, check_user_pass_valid(nullptr, digest)); });
    EXPECT_TRUE(contains(err, "failure username and password input...\n"));
    // Free records never match empty credentials.
    EXPECT_EQ(0, check_user_pass_valid("", ""));

    UserRecord bob{};
    std::strcpy(bob.name, "bob");
    digest_text_of("bobpw", bob.password);
    ASSERT_EQ(0, HTTP_Set_UsermgntConfig(0, &bob));
    EXPECT_EQ(1, check_user_pass_valid("bob", bob.password));
}

TEST_F(CredentialCheck, UnreadableStoreIsNoMatch) {
    set_user_file_path((dir / "missing" / "usermgnt_para").c_str());
    char digest[64];
    digest_text_of("qorvu", digest);
    const std::string err = stderrOf([&] { EXPECT_EQ(0, check_user_pass_valid("admin", digest)); });
    EXPECT_TRUE(contains(err, "get User params fail!  return : -1\n")) << err;
}

}  // namespace
