// Owns how the tool talks: the quoted form of paths and the one-line, at-once messages.
#pragma once

#include <string>
#include <string_view>

/// The quoted form of `path`: its text in double quotes, each `"` or `\` inside preceded by `\`,
/// a newline, tab or carriage return written `\n`, `\t`, `\r`, and written `\x` and two
/// lower-case hex digits per byte: every other byte below 0x20, 0x7f, every byte that is not part
/// of a valid UTF-8 sequence, and the bytes of the C1 controls (U+0080 to U+009F), the line and
/// paragraph separators (U+2028, U+2029) and the bidirectional controls (U+061C, U+200E, U+200F,
/// U+202A to U+202E, U+2066 to U+2069). Other UTF-8 text is kept as it is.
std::string quote_path(std::string_view path);

/// Appends the quoted form of `path` to `out`.
void append_quoted(std::string& out, std::string_view path);

/// Writes `line` plus a newline to standard output at once, unbuffered, retrying a partial write.
/// A write error does not stop the work: the first one is kept for report_write_failures().
void say_out(std::string_view line);

/// The same for standard error.
void say_err(std::string_view line);

/// For each stream that met a write error, prints "Failed to write the report to standard output"
/// (or "standard error") + ": (" + its first error number + ") " + the platform's text, on
/// standard error. Returns the number of such streams.
int report_write_failures();

/// "Failed to update ownership of" + the quoted `path` (no space between, as always) + ": (" +
/// `err` + ") " + the platform's text for `err`.
std::string ownership_failure(std::string_view path, int err);

/// A file-system error's description in the shape the standard library gives its own:
/// "filesystem error: " + `what` + ": " + `message` + " [" + `path` + "]", `path` escaped as in
/// the quoted form but for `"` and `\`.
std::string fs_error(std::string_view what, std::string_view message, std::string_view path);
