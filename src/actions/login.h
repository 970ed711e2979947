// Login and logout: request readers, the login answer, the local check of
// a user name and digest text against the user store.
#pragma once

#include "common/json.h"

struct LoginCredentials {
    char username[64];
    char password[64];
};

int getLoginParamFromJSON(const char* text, LoginCredentials* cred, int* timeout);
int getLoginParamFromJSON_msg(const char* text, int* pass_validation);
int getSessionidParamFromJSON(const char* text, char* buf, int size);

// {"UserName","Password","MD5Password":1} for the VerifyPassword request.
int formatLoginMsgParamJSON(JsonReply& out, const LoginCredentials* cred);

int actionLogin(const LoginCredentials& cred, int timeout, JsonReply& out);
int actionLogOut(const char* body, JsonReply& out);

// 1 when a user record has exactly this name and password text, else 0.
int check_user_pass_valid(const char* user, const char* digest);
