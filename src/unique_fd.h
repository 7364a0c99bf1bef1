// Owns one descriptor at a time.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "result.h"

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

/// A system call's result `f` as an owned descriptor, or, when negative, the errno it left.
inline Result<UniqueFd> opened(long f) {
    if (f < 0) return failure(errno);
    return UniqueFd(f);
}
