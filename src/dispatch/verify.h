// Password verification with the device application that owns
// "VerifyPassword", and the URL credential check built on it.
#pragma once

#include <string>
#include <string_view>

#include "actions/login.h"

namespace dispatch {

// The PasswordVerifier of the login command: one exchange over IPC.
Verification verifyPassword(const LoginCredentials& cred, const char* matcher_json,
                             char* reason);

// verifyPassword slowed down for guessing from `client` (accounts/throttle):
// an address in its back-off window gets a wrong-password verdict at once
// and the application is not asked.
PasswordVerifier throttledVerifier(std::string client);

// The URL credential check: the password is sent as digest text (hashed
// here unless it already is one). True when the application confirms it.
bool urlCredentialCheck(const std::string& username, const std::string& password,
                        std::string_view client);

}  // namespace dispatch
