// The text of every message, and the line writers that put them out.
#include "report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace {

// A stream the report goes to: its first write error, and the whole lines not yet written.
struct Stream {
    explicit Stream(int f) noexcept : fd(f) {}
    int fd;
    bool closed = false;  // closed by the caller: nothing is written to whatever holds it now
    size_t block = 0;     // the most written at once, 0 for a line at a time; decided at first use
    bool decided = false;
    int first_error = 0;
    std::string pending;
};

Stream out(STDOUT_FILENO);
Stream err(STDERR_FILENO);

// A terminal is written a line at a time, as each happens. Anything else gets whole lines in
// blocks, which cost a system call per block instead of per line: a pipe, FIFO or socket at most
// PIPE_BUF bytes at once, which the kernel writes whole, so that two writers on one pipe never
// split each other's lines; a file larger ones. Standard error is always written a line at a time.
void decide(Stream& s) {
    s.decided = true;
    struct stat st;
    if (s.fd == STDERR_FILENO || isatty(s.fd)) return;
    const bool pipe = fstat(s.fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
    s.block = pipe ? PIPE_BUF : 16 * 1024;
    s.pending.reserve(s.block);
}

// Writes the first `n` pending bytes of `s`, retrying after a partial write; a write error does
// not stop the work, the first one is kept for report_write_failures(). The bytes go either way.
void write_pending(Stream& s, size_t n) {
    for (size_t done = s.closed ? n : 0; done < n;) {
        const ssize_t w = write(s.fd, s.pending.data() + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (s.first_error == 0) s.first_error = w < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(w);
    }
    s.pending.erase(0, n);
}

// Ends the line just appended to `s` after `start` and writes what is due: the lines before it
// when it does not fit in their block, and itself when it fills one or nobody waits for blocks.
void end_line(Stream& s, size_t start) {
    s.pending += '\n';
    if (s.pending.size() > s.block && start > 0) write_pending(s, start);
    if (s.pending.size() >= s.block) write_pending(s, s.pending.size());
}

void say(Stream& s, std::string_view line) {
    if (!s.decided) decide(s);
    const size_t start = s.pending.size();
    s.pending.append(line);
    end_line(s, start);
}

}  // namespace

void keep_standard_streams_open() {
    for (Stream* s : {static_cast<Stream*>(nullptr), &out, &err}) {
        const int fd = s ? s->fd : STDIN_FILENO;
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number is this one. Should /dev/null be missing, the stream is still
        // never written, whatever a later open puts there.
        static_cast<void>(open("/dev/null", O_RDWR));
        if (!s) continue;
        s->closed = true;
        s->first_error = EBADF;
    }
}

void say_out(std::string_view line) {
    say(out, line);
}

void say_err(std::string_view line) {
    // Lines stay in order when both streams share a file.
    report_flush();
    say(err, line);
}

void report_flush() {
    write_pending(out, out.pending.size());
}

int report_write_failures() {
    int failed = 0;
    report_flush();
    for (const auto& [error, name] :
         {std::pair{out.first_error, "output"}, {err.first_error, "error"}}) {
        if (error == 0) continue;
        say_err(std::string("Failed to write the report to standard ") + name + ": (" +
                std::to_string(error) + ") " + std::strerror(error));
        ++failed;
    }
    return failed;
}

void say_updated(std::string_view path) {
    // Printed for nearly every file of the tree, most often for the entries of one directory in
    // a row: the directory's quoted text is made once, and the line in place. A name never
    // continues a UTF-8 sequence across its "/", so quoting in two parts quotes the same.
    static std::string dir, dir_quoted;
    const size_t dir_len = path.rfind('/') + 1;  // 0 without one
    if (path.substr(0, dir_len) != dir) {
        dir.assign(path.substr(0, dir_len));
        dir_quoted.clear();
        append_escaped(dir_quoted, dir, true);
    }
    if (!out.decided) decide(out);
    const size_t start = out.pending.size();
    out.pending += "Updated ownership and permissions for \"";
    out.pending += dir_quoted;
    append_escaped(out.pending, path.substr(dir_len), true);
    out.pending += '"';
    end_line(out, start);
}

std::vector<std::string> usage_lines(const std::vector<std::filesystem::path>& roots) {
    std::vector<std::string> lines = {
        "Usage: ./quorvane [--uid <uid>] [--gid <gid>] [--setgid] <path>...",
        "Change the group of all provided files or directories to that of "
        "the specified uid/gid and ensure that the file or directory is "
        "group-writable. If --setgid is passed, also toggle the setgid bit "
        "on all visited directories (but not files). ",
        "",
        "For security reasons this binary does not operate on symlinks "
        "and only operates on subdirectories of the following paths: ",
    };
    for (const auto& root : roots) lines.push_back(" - " + quote_path(root.native()));
    return lines;
}

std::vector<std::string> help_lines(const std::vector<std::filesystem::path>& roots) {
    std::vector<std::string> lines = {
        std::string("Usage: ") + QUORVANE_INSTALLED_AS +
            " [--uid UID] [--gid GID] [--setgid] PATH...",
        "Hands each PATH, and everything below it, over to owner UID and group GID (by default",
        "your own): owner and group set, group-read added. With --setgid every directory is also",
        "made group-writable, group-searchable and set-group-ID; files only gain group-read.",
        "Symbolic links are reported, never changed or followed.",
        "Each PATH must be, or lie under, one of these roots:",
    };
    for (const auto& root : roots) lines.push_back(" - " + quote_path(root.native()));
    lines.insert(
        lines.end(),
        {
            "Whoever may run it can take over any file under them, other users' too: as installed,",
            "only root and the members of group quorvane may run it.",
            "Each run is logged to the system log (authpriv, tag quorvane: journalctl -t "
            "quorvane).",
            "More, the exit status among it: man quorvane",
        });
    return lines;
}

std::string id_not_a_number(std::string_view which, std::string_view text) {
    return "Error: " + std::string(which) + " " + quote_path(text) + " is not a decimal number";
}

std::string id_out_of_range(std::string_view which, std::string_view text) {
    return "Error: " + std::string(which) + " " + quote_path(text) + " is out of range";
}

std::string bad_option(BadOption how, std::string_view text) {
    std::string shown;
    append_escaped(shown, text, true);
    switch (how) {
        case BadOption::unrecognized:
            return "quorvane: unrecognized option '" + shown + "'";
        case BadOption::invalid:
            return "quorvane: invalid option -- '" + shown + "'";
        case BadOption::needs_argument:
            return "quorvane: option '--" + shown + "' requires an argument";
        case BadOption::short_needs_argument:
            return "quorvane: option requires an argument -- '" + shown + "'";
        case BadOption::takes_no_argument:
            return "quorvane: option '--" + shown + "' doesn't allow an argument";
    }
    return {};
}

std::string version_line() {
    return "quorvane " QUORVANE_VERSION;
}

std::string foreign_id(std::string_view which) {
    return "Error: can only set foreign " + std::string(which) + " as root";
}

std::string path_not_allowed(std::string_view path) {
    return "Error: path " + quote_path(path) + " is not an allowed path.";
}

std::string root_set_aside(std::string_view root, const WayFault& fault) {
    std::string line = "Warning: root " + quote_path(root) + " is not used: ";
    append_quoted(line, fault.culprit);
    const std::string id = std::to_string(fault.id);
    switch (fault.what) {
        case WayFault::What::owned:
            return line + " is writable by uid " + id;
        case WayFault::What::group_writable:
            return line + " is writable by group " + id;
        case WayFault::What::everyone_writable:
            return line + " is writable by everyone";
        case WayFault::What::foreign_entry:
            return line + " belongs to uid " + id + ", in a sticky directory that others may write";
        case WayFault::What::missing_entry:
            return line + " is missing, in a sticky directory that others may write";
        case WayFault::What::foreign_link:
            return line + " is a symbolic link owned by uid " + id;
        default:
            return line + " cannot be examined: (" + std::to_string(fault.err) + ") " +
                   std::strerror(fault.err);
    }
}

namespace {

// What could not be read, and why, in the words of the platform.
std::string could_not_read(const char* what, int err) {
    return std::string("could not read ") + what + ": (" + std::to_string(err) + ") " +
           std::strerror(err);
}

std::string failed_to(std::string_view path, int err, const char* what,
                      const ProcFinding& unavailable) {
    std::string line = "Failed to update ";
    line.append(what);
    append_quoted(line, path);
    line += ": (" + std::to_string(err) + ") " + std::strerror(err);
    switch (unavailable.what) {
        case ProcFinding::What::not_procfs:
            return line + " (no fchmodat2, and /proc is not procfs)";
        case ProcFinding::What::not_ours:
            return line + " (no fchmodat2, and /proc/self/fd is not this process's own)";
        case ProcFinding::What::unreadable:
            return line + " (no fchmodat2, and " +
                   could_not_read("/proc/self/fd", unavailable.err) + ")";
        default:
            return line;
    }
}

}  // namespace

std::string ownership_failure(std::string_view path, int err, const ProcFinding& unavailable) {
    return failed_to(path, err, "ownership of", unavailable);
}

std::string permissions_failure(std::string_view path, int err, const ProcFinding& unavailable) {
    return failed_to(path, err, "permissions of ", unavailable);
}

std::string hard_link_refusal(std::string_view path, nlink_t links, const ProcFinding& protection) {
    std::string line = "Failed to update ownership of" + quote_path(path) +
                       ": refusing a file with " + std::to_string(links) + " hard links";
    if (protection.yes()) return line + " owned by another user";
    if (protection.what == ProcFinding::What::unreadable) {
        return line + ": " + could_not_read("/proc/sys/fs/protected_hardlinks", protection.err);
    }
    return line + " while /proc/sys/fs/protected_hardlinks is not 1";
}

std::string symlink_notice(std::string_view path) {
    return quote_path(path) + " is a symlink, not modifying permission";
}

std::string status_failure(std::string_view path, std::string_view why) {
    return "Failed to get status of " + quote_path(path) + ": " +
           fs_error("symlink_status", why, path);
}

std::string iterate_warning(std::string_view path, bool opening, int err) {
    return "Warning: Failed to iterate " + quote_path(path) + ": " +
           fs_error(opening ? "directory iterator cannot open directory"
                            : "directory iterator cannot advance",
                    std::strerror(err), path) +
           " (will still try to fix directory permissions)";
}

std::string unreachable_line(std::string_view path, Unreachable at, int err) {
    // One that is gone fails as its ownership change would have.
    const bool gone = err == ENOENT || err == ENOTDIR;
    switch (at) {
        case Unreachable::confirming:
            return gone ? ownership_failure(path, err) : status_failure(path, confirm_failure(err));
        case Unreachable::opening:
            return gone ? ownership_failure(path, err) : status_failure(path, std::strerror(err));
        case Unreachable::reopening:
            return status_failure(path, reopen_failure(err));
        default:
            return status_failure(path, std::strerror(err));
    }
}

const char* confirm_failure(int err) {
    switch (err) {
        case ELOOP:
            return "a component is now a symbolic link";
        case EXDEV:
            return "no longer beneath an allowed root";
        case ESTALE:
            return "changed while it was being confirmed";
        case moved_since_admitted:
            return "changed since it was admitted";
        default:
            return std::strerror(err);
    }
}

const char* reopen_failure(int err) {
    return err == ESTALE ? "directory was replaced during the walk" : std::strerror(err);
}

std::string audit_caller(const char* name, uid_t uid) {
    std::string out;
    if (name) {
        append_escaped(out, name, false);
        out += " (";
    }
    out += "uid " + std::to_string(uid);
    if (name) out += ')';
    return out;
}

std::string audit_start_line(std::string_view caller, const Target& target) {
    return std::string(caller) + ": hand over to " + std::to_string(target.uid) + ":" +
           std::to_string(target.gid) + (target.sgid ? " with" : " without") + " --setgid:";
}

std::string audit_continued(std::string_view caller, std::string_view what) {
    return std::string(caller) + ": " + std::string(what) + ", continued:";
}

std::string audit_argument(std::string_view written, std::string_view resolved) {
    std::string out = quote_path(written);
    if (resolved != written) {
        out += " = ";
        append_quoted(out, resolved);
    }
    return out;
}

std::string audit_end_line(std::string_view caller, long visited, int failures, int signal) {
    const std::string name = signal == SIGINT    ? "SIGINT"
                             : signal == SIGTERM ? "SIGTERM"
                             : signal == SIGHUP  ? "SIGHUP"
                                                 : "signal " + std::to_string(signal);
    return std::string(caller) + ": " + (signal ? "interrupted by " + name : std::string("ended")) +
           ": " + std::to_string(visited) + (visited == 1 ? " path" : " paths") + " visited, " +
           std::to_string(failures) + (failures == 1 ? " failure" : " failures");
}

std::string audit_refused(std::string_view caller) {
    return std::string(caller) + ": refused:";
}

std::string audit_reason(std::string_view reason) {
    std::string out;
    append_escaped(out, reason, false);
    return out;
}

std::string out_of_memory() {
    return "Failed to finish the run: out of memory";
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the standard library's order
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
