// RAII owners for nanomsg sockets and library-allocated messages.
#pragma once

#include <nanomsg/nn.h>

#include <cstddef>
#include <string>
#include <utility>

namespace nn {

// Owns one nanomsg socket handle (negative: none).
class Socket {
public:
    Socket() = default;
    explicit Socket(int handle) : handle_(handle) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, -1);
        }
        return *this;
    }
    ~Socket() { reset(); }

    int get() const { return handle_; }
    explicit operator bool() const { return handle_ >= 0; }
    int release() { return std::exchange(handle_, -1); }
    void reset() {
        if (handle_ >= 0) nn_close(handle_);
        handle_ = -1;
    }

private:
    int handle_ = -1;
};

// Owns a message that nn_recv allocated with NN_MSG.
class Message {
public:
    explicit Message(void* data = nullptr) : data_(data) {}
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    ~Message() { reset(); }

    void* get() const { return data_; }
    void reset() {
        if (data_) nn_freemsg(data_);
        data_ = nullptr;
    }

private:
    void* data_ = nullptr;
};

// The text of a received message of `length` bytes: up to its NUL byte, or
// the whole message when it carries none.
inline std::string textOf(const void* data, int length) {
    std::string text(static_cast<const char*>(data), static_cast<std::size_t>(length));
    if (std::size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

}  // namespace nn
