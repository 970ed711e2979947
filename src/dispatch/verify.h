// Password verification with the device application that owns
// "VerifyPassword", and the URL credential check built on it.
#pragma once

#include <string>

#include "actions/login.h"

namespace dispatch {

// The PasswordVerifier of the login command: one exchange over IPC.
Verification verifyPassword(const LoginCredentials& cred, const char* matcher_json,
                             char* reason);

// The URL credential check: the password is sent as digest text (hashed
// here unless it already is one). True when the application confirms it.
bool urlCredentialCheck(const std::string& username, const std::string& password);

}  // namespace dispatch
