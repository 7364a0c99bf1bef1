// Owns the one way errors travel: a function that can fail returns an error number (0 for
// success), or, when it also makes something, a Result that carries both.
#pragma once

/// What a call that can fail gives back: `err` is 0 and `value` is what it made, or `err` is the
/// error number that stopped it and `value` holds only what the function's contract says it holds
/// on failure (by default, nothing of use).
template <class T>
struct Result {
    T value{};
    int err = 0;

    bool has_value() const { return err == 0; }
    explicit operator bool() const { return err == 0; }
    const T* operator->() const { return &value; }
    T* operator->() { return &value; }
    const T& operator*() const { return value; }
    T& operator*() { return value; }
};

/// A failed Result, with error number `err`.
template <class T>
Result<T> failure(int err) {
    Result<T> r;
    r.err = err;
    return r;
}
