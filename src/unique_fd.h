// Owns one descriptor at a time.
#pragma once

#include <unistd.h>

#include <utility>

/// Owns one descriptor (negative: none) and closes it when reset, replaced or destroyed.
struct UniqueFd {
    int fd = -1;

    UniqueFd() = default;
    /// Takes `f`, a system call's result: a descriptor, or negative for none.
    explicit UniqueFd(long f) : fd(static_cast<int>(f)) {}
    UniqueFd(UniqueFd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) {
            reset();
            fd = std::exchange(o.fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    /// Closes the descriptor, if any.
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    /// Gives up ownership; the caller must close the result.
    int release() { return std::exchange(fd, -1); }
    explicit operator bool() const { return fd >= 0; }
};
