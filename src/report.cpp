// Quoted paths and the line writers shared by every message of the tool.
#include "report.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Control bytes are shown as escapes so that a name can never start a line of its own or reach
// the terminal as a command; bytes from 0x80 up pass, so UTF-8 names stay readable.
bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

void append_escaped(std::string& out, std::string_view text, bool quoting) {
    static const char hex[] = "0123456789abcdef";
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool special = quoting && (c == '"' || c == '\\');
        if (!special && !is_control(c)) continue;
        out.append(text.substr(run, i - run));
        run = i + 1;
        out += '\\';
        switch (c) {
            case '\n':
                out += 'n';
                break;
            case '\t':
                out += 't';
                break;
            case '\r':
                out += 'r';
                break;
            default:
                if (special) {
                    out += static_cast<char>(c);
                } else {
                    out += 'x';
                    out += hex[c >> 4];
                    out += hex[c & 0xf];
                }
        }
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
