// Owns how the tool talks: the quoted form of paths and the one-line, at-once messages.
#pragma once

#include <string>
#include <string_view>

/// The quoted form of `path`: its text in double quotes, each `"` or `\` inside preceded by `\`.
std::string quote_path(std::string_view path);

/// Appends the quoted form of `path` to `out`.
void append_quoted(std::string& out, std::string_view path);

/// Writes `line` plus a newline to standard output at once, unbuffered. Write errors are
/// ignored: a closed output must not stop the work.
void say_out(std::string_view line);

/// Writes `line` plus a newline to standard error at once, unbuffered.
void say_err(std::string_view line);

/// "Failed to update ownership of" + the quoted `path` (no space between, as always) + ": (" +
/// `err` + ") " + the platform's text for `err`.
std::string ownership_failure(std::string_view path, int err);

/// A file-system error's description in the shape the standard library gives its own:
/// "filesystem error: " + `what` + ": " + `message` + " [" + `path` + "]".
std::string fs_error(std::string_view what, std::string_view message, std::string_view path);
