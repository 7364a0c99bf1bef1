// Shows byte strings safely: the escapes that keep control bytes, invalid UTF-8 and the
// characters that break or reorder a line out of everything the tool prints.
#include "quoting.h"

#include <algorithm>

namespace {

// The length of the valid UTF-8 sequence at the start of `t` (RFC 3629: no overlong forms, no
// surrogates, nothing beyond U+10FFFF) and its code point; 0 when there is none.
size_t utf8_sequence(std::string_view t, char32_t& cp) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(t[i]); };
    const unsigned char c = b(0);
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        cp = c & 0x0f;
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        cp = c & 0x07;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
    }
    if (n == 0 || t.size() < n || b(1) < lo || b(1) > hi) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (b(i) & 0x3f);
    }
    return n;
}

// Characters that break a line for readers that honour Unicode's line breaks (C1 controls, NEL
// among them, and the line and paragraph separators), or reorder what a terminal shows (the
// bidirectional controls).
bool is_unsafe(char32_t cp) {
    return (cp >= 0x80 && cp <= 0x9f) || cp == 0x61c || cp == 0x200e || cp == 0x200f ||
           cp == 0x2028 || cp == 0x2029 || (cp >= 0x202a && cp <= 0x202e) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

void append_hex(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 0xf];
}

}  // namespace

// Control bytes, invalid UTF-8 and the characters above are shown as escapes, so that a name can
// never start a line of its own or reach the terminal as a command; other UTF-8 passes, so that
// names stay readable.
void append_escaped(std::string& out, std::string_view text, bool quoting) {
    size_t run = 0;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool special = quoting && (c == '"' || c == '\\');
        if (c >= 0x20 && c < 0x7f && !special) {
            ++i;
            continue;
        }
        char32_t cp = 0;
        const size_t n = c >= 0x80 ? utf8_sequence(text.substr(i), cp) : 0;
        if (n > 0 && !is_unsafe(cp)) {
            i += n;
            continue;
        }
        out.append(text.substr(run, i - run));
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (special) {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            // Each byte of an unsafe character, or the one byte that begins no valid sequence.
            for (size_t k = 0; k < std::max<size_t>(n, 1); ++k) {
                append_hex(out, static_cast<unsigned char>(text[i + k]));
            }
        }
        i += std::max<size_t>(n, 1);
        run = i;
    }
    out.append(text.substr(run));
}

void append_quoted(std::string& out, std::string_view path) {
    out += '"';
    append_escaped(out, path, true);
    out += '"';
}

std::string quote_path(std::string_view path) {
    std::string out;
    out.reserve(path.size() + 2);
    append_quoted(out, path);
    return out;
}

size_t quoted_prefix(std::string_view text, size_t max) {
    size_t end = 0;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = 1;
        if (c == '\\') {
            n = i + 1 < text.size() && text[i + 1] == 'x' ? 4 : 2;
        } else if (c >= 0xf0) {
            n = 4;
        } else if (c >= 0xe0) {
            n = 3;
        } else if (c >= 0xc0) {
            n = 2;
        }
        if (i + n > max) break;
        i += n;
        end = i;
    }
    return std::min(end, text.size());
}
