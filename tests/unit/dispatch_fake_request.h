// A request object for driving the dispatcher without a network.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "web/web.h"

struct FakeRequest : web::Request {
    std::string url_;
    std::string method_ = "GET";
    std::string body_;
    std::string bodyFile_;
    std::string client_ = "127.0.0.1";
    std::optional<web::UploadedFile> upload_;

    struct Answer {
        int status;
        std::string contentType;
        std::string body;
    };
    std::vector<Answer> answers;

    explicit FakeRequest(std::string url = "/action/device/x") : url_(std::move(url)) {}

    const std::string& url() const override { return url_; }
    const std::string& method() const override { return method_; }
    std::string_view body() const override { return body_; }
    std::uint64_t bodyLength() const override { return body_.size(); }
    const std::string& bodyFile() const override { return bodyFile_; }
    const std::string& clientAddress() const override { return client_; }
    const web::UploadedFile* upload() const override { return upload_ ? &*upload_ : nullptr; }
    void respond(int status, std::string_view type, std::string_view body) override {
        answers.push_back({status, std::string(type), std::string(body)});
    }
    bool responded() const override { return !answers.empty(); }

    // The one answer's body ("" when none or several were written).
    std::string answer() const { return answers.size() == 1 ? answers[0].body : std::string(); }
};

// The exact texts the writers send.
inline std::string errorText(int code, const std::string& reason) {
    std::string r;
    for (char c : reason) {
        if (c == '\n') r += "\\n";
        else if (c == '"') r += "\\\"";
        else r += c;
    }
    return "{\n\t\"Result\":\t\"Fail\",\n\t\"ErrorNo\":\t" + std::to_string(code) +
           ",\n\t\"Reason\":\t\"" + r + "\"\n}";
}
inline const std::string kOkText = "{\n\t\"Result\":\t\"OK\"\n}";
inline std::string okReasonText(const std::string& reason) {
    return "{\n\t\"Result\":\t\"OK\",\n\t\"Reason\":\t\"" + reason + "\"\n}";
}
