// Owns how a byte string is shown: in the quoted form, whose escapes keep control bytes, invalid
// UTF-8 and the characters that break or reorder a line out of everything the tool prints.
#pragma once

#include <cstddef>
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

/// Appends `text` to `out` with the escapes of the quoted form, `"` and `\` among them when
/// `quoting`; without, they pass as they are, for a text whose paths are quoted already.
void append_escaped(std::string& out, std::string_view text, bool quoting);

/// The length of the longest start of `text`, a text made of quoted forms, that is at most `max`
/// bytes and cuts neither an escape nor a UTF-8 character.
size_t quoted_prefix(std::string_view text, size_t max);
