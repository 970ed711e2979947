#include "scenario.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "accounts/md5.h"
#include "common/diag.h"

namespace devsim {
namespace {

constexpr std::size_t kUserFileSize = 2048;
constexpr std::size_t kRecordSize = 128;
constexpr std::size_t kFieldSize = 64;

JsonPtr duplicate(const cJSON* item) { return JsonPtr(item ? cJSON_Duplicate(item, 1) : nullptr); }

const cJSON* option(const cJSON* entry, const char* name) {
    return entry ? cJSON_GetObjectItemCaseSensitive(entry, name) : nullptr;
}

bool flag(const cJSON* entry, const char* name) {
    const cJSON* item = option(entry, name);
    return cJSON_IsTrue(item) || (cJSON_IsNumber(item) && item->valueint != 0);
}

int number(const cJSON* entry, const char* name, int fallback) {
    const cJSON* item = option(entry, name);
    return cJSON_IsNumber(item) ? item->valueint : fallback;
}

const char* text(const cJSON* entry, const char* name) {
    const cJSON* item = option(entry, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// `s` starts with `prefix` and goes on past it.
bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0 && s.size() > std::strlen(prefix);
}

JsonPtr result(const char* resultText, const char* reason) {
    JsonPtr r(cJSON_CreateObject());
    cJSON_AddStringToObject(r.get(), "Result", resultText);
    cJSON_AddStringToObject(r.get(), "Reason", reason);
    return r;
}

JsonPtr progressResponse(const char* resultText, const char* reason, int value) {
    JsonPtr r = result(resultText, reason);
    cJSON* p = cJSON_AddObjectToObject(r.get(), "Parameters");
    cJSON_AddNumberToObject(p, "UpgradeProgressValue", value);
    return r;
}

// The whole file; false when it cannot be opened.
bool readWhole(const std::string& path, std::string& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    data = all.str();
    return true;
}

// The user table as the account store keeps it; the default one (admin with
// the digest of "qorvu") when the file is missing or of another size.
std::string readUserTable(const std::string& path) {
    std::string data;
    if (readWhole(path, data) && data.size() == kUserFileSize) return data;
    data.assign(kUserFileSize, '\0');
    std::memcpy(&data[0], "admin", 5);
    char digest[64];
    digest_text_of("qorvu", digest);
    std::memcpy(&data[kFieldSize], digest, std::strlen(digest));
    return data;
}

std::string field(const std::string& table, std::size_t offset) {
    const char* start = table.data() + offset;
    return std::string(start, strnlen(start, kFieldSize));
}

}  // namespace

bool Scenario::load(const std::string& path, std::string& error) {
    defaultResponse_ = result("OK", "OK");
    if (path.empty()) return true;
    std::string text;
    if (!readWhole(path, text)) {
        error = "cannot open " + path;
        return false;
    }
    root_ = json::parse(text.c_str());
    if (!cJSON_IsObject(root_.get())) {
        error = path + " is not a JSON object";
        root_.reset();
        return false;
    }
    if (const cJSON* d = cJSON_GetObjectItemCaseSensitive(root_.get(), "default_response"))
        defaultResponse_ = duplicate(d);
    return true;
}

const cJSON* Scenario::entryFor(const std::string& command, const std::string& receiver) const {
    if (!root_) return nullptr;
    const cJSON* commands = cJSON_GetObjectItemCaseSensitive(root_.get(), "commands");
    if (!cJSON_IsObject(commands)) return nullptr;
    if (!receiver.empty()) {
        const std::string specific = command + "@" + receiver;
        if (const cJSON* e = cJSON_GetObjectItemCaseSensitive(commands, specific.c_str())) return e;
    }
    return cJSON_GetObjectItemCaseSensitive(commands, command.c_str());
}

JsonPtr Scenario::cannedResponse(const cJSON* entry) const {
    if (const cJSON* r = option(entry, "Response")) return duplicate(r);
    return duplicate(defaultResponse_.get());
}

JsonPtr Scenario::verifyPassword(const cJSON* parameters) const {
    const cJSON* user = cJSON_GetObjectItemCaseSensitive(parameters, "UserName");
    const cJSON* password = cJSON_GetObjectItemCaseSensitive(parameters, "Password");
    bool valid = false;
    if (cJSON_IsString(user) && cJSON_IsString(password) && *user->valuestring) {
        // A password of 32 hex digits already is a digest text; any other
        // text is the plain password.
        char digest[64];
        if (isValidMD5(password->valuestring))
            std::snprintf(digest, sizeof digest, "%s", password->valuestring);
        else
            digest_text_of(password->valuestring, digest);
        const std::string table = readUserTable(userFile_);
        for (std::size_t r = 0; r < kUserFileSize / kRecordSize && !valid; ++r) {
            const std::size_t at = r * kRecordSize;
            valid = field(table, at) == user->valuestring &&
                    strcasecmp(field(table, at + kFieldSize).c_str(), digest) == 0;
        }
    }
    JsonPtr r = result("OK", valid ? "Password verified" : "Invalid username or password");
    cJSON* p = cJSON_AddObjectToObject(r.get(), "Parameters");
    cJSON_AddNumberToObject(p, "PassValidation", valid ? 1 : 0);
    return r;
}

std::vector<JsonPtr> Scenario::upgrade(const cJSON* entry, const cJSON* parameters,
                                       bool pair) const {
    std::vector<JsonPtr> replies;
    const cJSON* image = cJSON_GetObjectItemCaseSensitive(parameters, "UpgradeImageFile");
    if (cJSON_IsString(image)) {
        struct stat st {};
        if (stat(image->valuestring, &st) != 0) {
            diag::out("devsim: upgrade image %s not found\n", image->valuestring);
            replies.push_back(progressResponse("Fail", "upgrade image not found", 0));
            return replies;
        }
        diag::out("devsim: upgrade image %s, %lld bytes\n", image->valuestring,
                  static_cast<long long>(st.st_size));
    }

    std::vector<int> steps{10, 50, 99, 100};
    if (const cJSON* list = option(entry, "progress"); cJSON_IsArray(list)) {
        steps.clear();
        for (const cJSON* v = list->child; v; v = v->next)
            if (cJSON_IsNumber(v)) steps.push_back(v->valueint);
    }
    const bool fail = upgrade_.fail || flag(entry, "fail");
    const int failAt = number(entry, "fail_at", upgrade_.fail_at);
    for (int value : steps) {
        if (fail && value >= failAt) {
            replies.push_back(progressResponse("Fail", "upgrade failed", value));
            break;
        }
        replies.push_back(progressResponse("OK", "upgrading", value));
    }
    // A REP socket carries one reply per request: only the outcome.
    if (!pair && replies.size() > 1) replies.erase(replies.begin(), replies.end() - 1);
    return replies;
}

void Scenario::storeSettings(const std::string& key, const cJSON* parameters) {
    if (!parameters) return;
    std::lock_guard<std::mutex> guard(lock_);
    JsonPtr& stored = settings_[key];
    if (!stored) {
        // Start from what the Get command shows, so a partial Set keeps the rest.
        JsonPtr get = cannedResponse(entryFor("Get" + key));
        const cJSON* shown = cJSON_GetObjectItemCaseSensitive(get.get(), "Parameters");
        stored = cJSON_IsObject(shown) ? duplicate(shown) : JsonPtr(cJSON_CreateObject());
    }
    if (!cJSON_IsObject(parameters) || !cJSON_IsObject(stored.get())) {
        stored = duplicate(parameters);
        return;
    }
    for (const cJSON* item = parameters->child; item; item = item->next) {
        cJSON* copy = cJSON_Duplicate(item, 1);
        if (!copy) continue;
        if (cJSON_GetObjectItemCaseSensitive(stored.get(), item->string))
            cJSON_ReplaceItemInObjectCaseSensitive(stored.get(), item->string, copy);
        else
            cJSON_AddItemToObject(stored.get(), item->string, copy);
    }
}

void Scenario::applySettings(const std::string& key, cJSON* response) {
    if (!cJSON_IsObject(response)) return;
    std::lock_guard<std::mutex> guard(lock_);
    auto it = settings_.find(key);
    if (it == settings_.end() || !it->second) return;
    cJSON* copy = cJSON_Duplicate(it->second.get(), 1);
    if (!copy) return;
    if (cJSON_GetObjectItemCaseSensitive(response, "Parameters"))
        cJSON_ReplaceItemInObjectCaseSensitive(response, "Parameters", copy);
    else
        cJSON_AddItemToObject(response, "Parameters", copy);
}

Answer Scenario::answer(const std::string& request, bool pair) {
    Answer answer;
    JsonPtr envelope = json::parse(request.c_str());
    const cJSON* cmd = cJSON_GetObjectItemCaseSensitive(envelope.get(), "Command");
    if (!cJSON_IsString(cmd)) return answer;  // nothing a device application would answer
    const std::string command = cmd->valuestring;
    const cJSON* parameters = cJSON_GetObjectItemCaseSensitive(envelope.get(), "Parameters");
    const cJSON* receiver = cJSON_GetObjectItemCaseSensitive(envelope.get(), "Receiver");
    const cJSON* entry = entryFor(command, cJSON_IsString(receiver) ? receiver->valuestring : "");
    if (flag(entry, "silent")) return answer;

    std::vector<JsonPtr> responses;
    const bool canned = option(entry, "Response") != nullptr;
    if (command == "StartUpgrade" && !canned) {
        responses = upgrade(entry, parameters, pair);
    } else if (command == "VerifyPassword" && !canned) {
        responses.push_back(verifyPassword(parameters));
    } else {
        if (startsWith(command, "Set")) storeSettings(command.substr(3), parameters);
        JsonPtr response = cannedResponse(entry);
        if (startsWith(command, "Get")) applySettings(command.substr(3), response.get());
        responses.push_back(std::move(response));
    }

    const int pause = number(entry, "pause_ms", upgrade_.pause_ms);
    int delay = number(entry, "delay_ms", 0);
    for (JsonPtr& response : responses) {
        answer.steps.push_back(Step{delay, buildReply(command, std::move(response), entry)});
        delay = pause;
    }
    return answer;
}

std::string buildReply(const std::string& command, JsonPtr response, const cJSON* entry) {
    std::string out;
    if (const cJSON* garbage = option(entry, "garbage"); cJSON_IsString(garbage)) {
        out = garbage->valuestring;
    } else if (flag(entry, "garbage")) {
        out = "<reply>this is not JSON</reply>";
    } else {
        bool lowerCommand = false, lowerResponse = false;
        if (const char* which = text(entry, "lowercase_keys")) {
            lowerCommand = !std::strcmp(which, "command") || !std::strcmp(which, "both");
            lowerResponse = !std::strcmp(which, "response") || !std::strcmp(which, "both");
        } else if (flag(entry, "lowercase_keys")) {
            lowerCommand = lowerResponse = true;
        }

        std::string replyCommand = command;
        if (const char* other = text(entry, "wrong_command")) {
            replyCommand = other;
        } else if (flag(entry, "wrong_command")) {
            for (char& c : replyCommand) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (replyCommand == command) replyCommand += "_other";
        }

        cJSON* value = response.release();
        if (const char* asText = text(entry, "response_not_object")) {
            cJSON_Delete(value);
            value = cJSON_CreateString(asText);
        } else if (flag(entry, "response_not_object")) {
            cJSON* array = cJSON_CreateArray();
            cJSON_AddItemToArray(array, value);
            value = array;
        }

        JsonPtr reply(cJSON_CreateObject());
        cJSON_AddStringToObject(reply.get(), lowerCommand ? "command" : "Command",
                                replyCommand.c_str());
        cJSON_AddItemToObject(reply.get(), lowerResponse ? "response" : "Response", value);
        out = json::printFormatted(reply.get()).value_or("");
    }
    if (!flag(entry, "no_nul")) out.push_back('\0');
    return out;
}

}  // namespace devsim
