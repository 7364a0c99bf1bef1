// Quoted paths and the line writers shared by every message of the tool.
#include "report.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void append_quoted(std::string& out, std::string_view path) {
    out += '"';
    for (size_t pos; (pos = path.find_first_of("\"\\")) != std::string_view::npos;) {
        out.append(path.substr(0, pos));
        out += '\\';
        out += path[pos];
        path.remove_prefix(pos + 1);
    }
    out.append(path);
    out += '"';
}

std::string quote_path(std::string_view path) {
    std::string out;
    out.reserve(path.size() + 2);
    append_quoted(out, path);
    return out;
}

namespace {

void say(int fd, std::string_view line) {
    // One write per line keeps lines whole and in order when both streams share a file.
    char newline = '\n';
    iovec iov[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
    int first = 0;
    while (first < 2) {
        ssize_t n = writev(fd, iov + first, 2 - first);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        auto done = static_cast<size_t>(n);
        while (first < 2 && done >= iov[first].iov_len) done -= iov[first++].iov_len;
        if (first < 2) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + done;
            iov[first].iov_len -= done;
        }
    }
}

}  // namespace

void say_out(std::string_view line) {
    say(STDOUT_FILENO, line);
}

void say_err(std::string_view line) {
    say(STDERR_FILENO, line);
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
    out.append(path);
    out += ']';
    return out;
}
