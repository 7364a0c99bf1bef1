// Owns descriptors: one at a time, or handled files' descriptors closed a run at a time.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

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

/// Owns descriptors of files already handled and closes them `max` at a time, each run of
/// consecutive numbers with one close_range(2): on a tree of a million files, closing each one on
/// its own would cost as much as changing its owner. Holds no descriptor it was not given.
struct CloseBatch {
    std::vector<int> fds;
    size_t max = 1;

    CloseBatch() = default;
    CloseBatch(const CloseBatch&) = delete;
    CloseBatch& operator=(const CloseBatch&) = delete;
    ~CloseBatch() { flush(); }

    /// Takes `fd`; closes the whole batch once it holds `max`.
    void add(UniqueFd fd) {
        fds.push_back(fd.fd);
        fd.release();
        if (fds.size() >= max) flush();
    }
    /// Closes every descriptor held; returns whether there was any.
    bool flush() {
        if (fds.empty()) return false;
        std::sort(fds.begin(), fds.end());
        // Only runs of descriptors that are all ours are closed together.
        for (size_t i = 0, j; i < fds.size(); i = j) {
            for (j = i + 1; j < fds.size() && fds[j] == fds[j - 1] + 1;) ++j;
            close_range(static_cast<unsigned>(fds[i]), static_cast<unsigned>(fds[j - 1]), 0);
        }
        fds.clear();
        return true;
    }
};
