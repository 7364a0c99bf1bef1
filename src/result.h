// Owns the one way errors travel: a function that can fail returns an error number (0 for
// success), or, when it also makes something, a Result that holds what it made or why it could not.
#pragma once

#include <optional>
#include <utility>

/// Why a call failed: an error number, given as a failed Result of any type.
struct Failure {
    int err;
};

/// The failure with error number `err` (never 0).
inline Failure failure(int err) {
    return {err};
}

/// What a call that can fail gives back: what it made, with `err` 0, or the error number that
/// stopped it, and then nothing else.
template <class T>
class Result {
  public:
    /// Made: holds `value`.
    Result(T value) : value_(std::move(value)) {}
    /// Failed, with `f.err`.
    Result(Failure f) : err(f.err) {}

    explicit operator bool() const { return err == 0; }
    /// What was made; only when it was.
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }

    /// 0 when made, else the error number.
    int err = 0;

  private:
    std::optional<T> value_;
};
