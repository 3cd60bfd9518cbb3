// SPDX-License-Identifier: Apache-2.0
#pragma once
// Owner of one open file descriptor; closes it when it goes out of scope.
#include <unistd.h>

#include <utility>

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~unique_fd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    /// Hands the descriptor over without closing it.
    int release() { return std::exchange(fd_, -1); }

    /// Closes the descriptor now; returns close()'s result (0 when none was open).
    int reset()
    {
        int rc = 0;
        if (fd_ >= 0)
            rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_ = -1;
};
