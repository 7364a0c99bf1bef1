// Quoted paths and the line writers shared by every message of the tool.
#include "report.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// The first error met while writing to each stream, 0 while there is none.
int out_error = 0;
int err_error = 0;

void say(int fd, std::string_view line, int& first_error) {
    // One write per line keeps lines whole and in order when both streams share a file.
    char newline = '\n';
    iovec iov[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
    int first = 0;
    while (first < 2) {
        ssize_t n = writev(fd, iov + first, 2 - first);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (first_error == 0) first_error = n < 0 ? errno : EIO;
            return;
        }
        auto done = static_cast<size_t>(n);
        while (first < 2 && done >= iov[first].iov_len) done -= iov[first++].iov_len;
        if (first < 2) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + done;
            iov[first].iov_len -= done;
        }
    }
}

}  // namespace

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

void say_out(std::string_view line) {
    say(STDOUT_FILENO, line, out_error);
}

void say_err(std::string_view line) {
    say(STDERR_FILENO, line, err_error);
}

int report_write_failures() {
    int failed = 0;
    for (const auto& [error, name] : {std::pair{out_error, "output"}, {err_error, "error"}}) {
        if (error == 0) continue;
        ++failed;
        say_err(std::string("Failed to write the report to standard ") + name + ": (" +
                std::to_string(error) + ") " + std::strerror(error));
    }
    return failed;
}

std::string ownership_failure(std::string_view path, int err) {
    return "Failed to update ownership of" + quote_path(path) + ": (" + std::to_string(err) + ") " +
           std::strerror(err);
}

std::string fs_error(std::string_view what, std::string_view message, std::string_view path) {
    std::string out = "filesystem error: ";
    out.append(what);
    out += ": ";
    out.append(message);
    out += " [";
    append_escaped(out, path, false);
    out += ']';
    return out;
}
