// The simulated device applications: what devsim answers to each request.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/json.h"

namespace devsim {

// One message to send back, after a pause.
struct Step {
    int delay_ms = 0;
    std::string bytes;  // the whole message, its NUL included when it has one
};

// Everything sent back for one request; no steps: the request stays unanswered.
struct Answer {
    std::vector<Step> steps;
};

struct UpgradeSettings {
    int pause_ms = 300;   // between two progress replies
    bool fail = false;    // report a failed upgrade
    int fail_at = 50;     // the progress value that reports the failure
};

class Scenario {
public:
    // Loads the scenario file; false (with the reason in `error`) when it is
    // unreadable or not a JSON object. An empty path keeps the built-in
    // behaviour only.
    bool load(const std::string& path, std::string& error);

    void setUpgrade(const UpgradeSettings& upgrade) { upgrade_ = upgrade; }
    void setUserFile(const std::string& path) { userFile_ = path; }

    // The answer to one request envelope (its text up to the NUL). `pair` is
    // true on the upgrade application's PAIR socket, where one request may get
    // several replies.
    Answer answer(const std::string& request, bool pair);

private:
    // The entry "<command>@<receiver>" when there is one, else "<command>".
    const cJSON* entryFor(const std::string& command, const std::string& receiver = "") const;
    JsonPtr cannedResponse(const cJSON* entry) const;
    JsonPtr verifyPassword(const cJSON* parameters) const;
    std::vector<JsonPtr> upgrade(const cJSON* entry, const cJSON* parameters, bool pair) const;
    void storeSettings(const std::string& key, const cJSON* parameters);
    void applySettings(const std::string& key, cJSON* response);

    JsonPtr root_;
    JsonPtr defaultResponse_;
    UpgradeSettings upgrade_;
    std::string userFile_;
    std::mutex lock_;  // the stored settings; sockets run on threads of their own
    std::map<std::string, JsonPtr> settings_;
};

// The reply message for `command` with `response`, shaped by the entry's
// failure options (garbage, wrong_command, lowercase_keys,
// response_not_object, no_nul).
std::string buildReply(const std::string& command, JsonPtr response, const cJSON* entry);

}  // namespace devsim
