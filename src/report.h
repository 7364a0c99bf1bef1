// Owns how the tool talks: the text of every message it prints, and the writers that put each
// line out whole and at once. Paths are always shown in their quoted form (see quoting.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "causes.h"
#include "quoting.h"
#include "target.h"

/// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where the caller closed them, so that
/// nothing the run opens later takes their place and receives the report. A standard output or
/// error that was closed is never written: it counts as a stream that met EBADF.
void keep_standard_streams_open();

/// Writes `line` plus a newline to standard output: at once to a terminal, otherwise with other
/// whole lines in a block (at most PIPE_BUF bytes to a pipe, FIFO or socket; a longer line alone),
/// always in order. A write error does not stop the work: the first one is kept for
/// report_write_failures().
void say_out(std::string_view line);

/// The same for standard error, always at once, after every line still pending on standard
/// output.
void say_err(std::string_view line);

/// Writes every line still pending on standard output.
void report_flush();

/// Writes what is pending, then, for each stream that met a write error, prints "Failed to write
/// the report to standard output" (or "standard error") + ": (" + its first error number + ") " +
/// the platform's text. Returns the number of such streams, each a failure.
int report_write_failures();

/// Prints "Updated ownership and permissions for " + the quoted `path` on standard output (see
/// say_out()).
void say_updated(std::string_view path);

// The texts of the lines, each without its newline, for say_err(); a path is always
// shown quoted.

/// The usage text, a line each, ending with `roots`, one a line.
std::vector<std::string> usage_lines(const std::vector<std::filesystem::path>& roots);
/// What --help says, a line each: the name the tool is installed under, what it sets and adds
/// with and without --setgid, `roots`, who may take what under them, where the audit goes, and
/// where to read more.
std::vector<std::string> help_lines(const std::vector<std::filesystem::path>& roots);
/// "Error: uid \"TEXT\" is not a decimal number" (`which`: "uid" or "gid").
std::string id_not_a_number(std::string_view which, std::string_view text);
/// "Error: uid \"TEXT\" is out of range" (`which`: "uid" or "gid").
std::string id_out_of_range(std::string_view which, std::string_view text);
/// How a command line's option was refused.
enum class BadOption {
    unrecognized,
    invalid,
    needs_argument,
    short_needs_argument,
    takes_no_argument
};
/// The complaint about a refused option, in the C library's words and with the tool's own name:
/// "quorvane: unrecognized option 'TEXT'", "quorvane: invalid option -- 'C'", "quorvane: option
/// '--NAME' requires an argument", "quorvane: option requires an argument -- 'C'", "quorvane:
/// option '--NAME' doesn't allow an argument"; `text` (TEXT, C or NAME) escaped as in the quoted
/// form.
std::string bad_option(BadOption how, std::string_view text);
/// "quorvane VERSION".
std::string version_line();
/// "Error: can only set foreign uid as root" (or gid).
std::string foreign_id(std::string_view which);
/// "Error: path \"PATH\" is not an allowed path."
std::string path_not_allowed(std::string_view path);
/// "Warning: root \"ROOT\" is not used: " + the quoted culprit of `fault` + why: " is writable
/// by uid N" (or "by group N", "by everyone"), " belongs to uid N, in a sticky directory that
/// others may write" (or " is missing, in ..."), " is a symbolic link owned by uid N", or " cannot
/// be examined: (ERRNO) TEXT".
std::string root_set_aside(std::string_view root, const WayFault& fault);
/// "Failed to update ownership of\"PATH\": (ERRNO) TEXT" (no space before the path, as always),
/// then, for a mode that could not be changed at all (`unavailable`), " (no fchmodat2, and /proc
/// is not procfs)", " (no fchmodat2, and /proc/self/fd is not this process's own)" or " (no
/// fchmodat2, and could not read /proc/self/fd: (ERRNO) TEXT)".
std::string ownership_failure(std::string_view path, int err, const ProcFinding& unavailable = {});
/// "Failed to update permissions of \"PATH\": (ERRNO) TEXT", then `unavailable` as above.
std::string permissions_failure(std::string_view path, int err,
                                const ProcFinding& unavailable = {});
/// "Failed to update ownership of\"PATH\": refusing a file with N hard links", then " owned by
/// another user" where the kernel's `protection` is on, ": could not read
/// /proc/sys/fs/protected_hardlinks: (ERRNO) TEXT" where it could not be read, else " while
/// /proc/sys/fs/protected_hardlinks is not 1".
std::string hard_link_refusal(std::string_view path, nlink_t links, const ProcFinding& protection);
/// "\"PATH\" is a symlink, not modifying permission".
std::string symlink_notice(std::string_view path);
/// "Failed to get status of \"PATH\": " + fs_error("symlink_status", `why`, `path`).
std::string status_failure(std::string_view path, std::string_view why);
/// "Warning: Failed to iterate \"PATH\": " + fs_error() of `err` met opening the directory
/// (`opening`) or reading it + " (will still try to fix directory permissions)".
std::string iterate_warning(std::string_view path, bool opening, int err);
/// The line of a path the walk could not reach `at`, with `err`: one that is gone (ENOENT or
/// ENOTDIR, confirming or opening) as ownership_failure(), any other as status_failure(), with
/// confirm_failure() or reopen_failure() where they apply, else the platform's text.
std::string unreachable_line(std::string_view path, Unreachable at, int err);
/// Why an argument could not be confirmed (see confirm()): "a component is now a symbolic link",
/// "no longer beneath an allowed root", "changed while it was being confirmed", "changed since it
/// was admitted", or the platform's.
const char* confirm_failure(int err);
/// Why a given-up directory was not reopened: "directory was replaced during the walk" or the
/// platform's.
const char* reopen_failure(int err);
/// For the audit log: `name` (null when the password database has none) with its escapes, then
/// " (uid N)"; or "uid N" alone.
std::string audit_caller(const char* name, uid_t uid);
/// For the audit log: CALLER + ": hand over to UID:GID with --setgid:" (or "without") for
/// `target`, to be followed by the quoted paths, each after a space.
std::string audit_start_line(std::string_view caller, const Target& target);
/// For the audit log: CALLER + ": " + `what` + ", continued:", the start of a line that goes on
/// where the line before it stopped ("hand over", "refused").
std::string audit_continued(std::string_view caller, std::string_view what);
/// For the audit log: the quoted `written` path, then " = " and the quoted `resolved` one where the
/// two differ.
std::string audit_argument(std::string_view written, std::string_view resolved);
/// For the audit log: CALLER + ": ended: N paths visited, N failures", "ended" being
/// "interrupted by SIGINT" (or SIGTERM, SIGHUP, "signal N") when `signal`.
std::string audit_end_line(std::string_view caller, long visited, int failures, int signal);
/// For the audit log: CALLER + ": refused:", to be followed by a space and audit_reason().
std::string audit_refused(std::string_view caller);
/// For the audit log: the words of a refusal, with the escapes of the quoted form but for `"` and
/// `\`, which its quoted paths already carry.
std::string audit_reason(std::string_view reason);
/// "Failed to finish the run: out of memory".
std::string out_of_memory();
/// A file-system error's description in the standard library's shape: "filesystem error: WHAT:
/// MESSAGE [PATH]", `path` escaped as in the quoted form but for `"` and `\`.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the standard library's order
std::string fs_error(std::string_view what, std::string_view message, std::string_view path);
